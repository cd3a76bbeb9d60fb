#pragma once

#include "data/DataLink.h"
#include "data/StatementPath.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>
#include <list>
#include <optional>

namespace chongma {

// A select's whole result, read at once so that nothing stays open on the connection.
// Columns are found by name, ignoring case (PostgreSQL folds unquoted names to lower case); a
// column or row that is not there throws Error.
class ResultSet {
public:
    int count() const { return int(m_rows.size()); }
    bool isNull(int row, const QString &column) const;
    QString text(int row, const QString &column) const;  // NULL reads as ""
    qint32 integer(int row, const QString &column) const; // NULL reads as 0
    qint64 int64(int row, const QString &column) const;   // NULL reads as 0
    QVariant value(int row, const QString &column) const;
    ValueKind kind(int row, const QString &column) const;

private:
    friend class TData1;
    int columnIndex(const QString &column) const;
    int rowIndex(int row) const;
    QStringList m_columns;
    QVector<QVector<QVariant>> m_rows;
    QVector<QVector<ValueKind>> m_kinds;
};

// One row of a select read row by row; valid only inside the callback that receives it.
class RowView {
public:
    int columnCount() const { return int(m_columns.size()); }
    int column(const QString &name) const; // index by name, ignoring case; throws Error when missing
    QVariant value(int column) const;      // an invalid QVariant for NULL; see Statement::value
    bool isNull(int column) const;
    ValueKind kind(int column) const;      // of this value
    QString text(int column) const;        // NULL reads as ""
    qint32 integer(int column) const;      // NULL reads as 0

private:
    friend class TData1;
    const Statement *m_statement = nullptr;
    QStringList m_columns;
};

// What one statement inside an open transaction did.
struct StatementResult {
    bool ok = false;
    qint64 rowsAffected = -1; // -1 when the driver cannot tell
    QString error;            // the database's reason when !ok
};

// The database session: one connection, opened at creation and kept until destruction, with
// the two query objects every operation uses. Belongs to the thread that created it.
class TData1 {
public:
    enum class Query { SaveData, Curve }; // qrySaveData, qryCurve
    // How often the session runs each of its statements. Where it is many times (an import's
    // batches), a driver that can is left to prepare them on the server, once.
    enum class Reuse { Few, Many };

    // Opens the connection the data link describes and proves it answers a query. Throws
    // ConnectionError when it cannot, SetupError when the Qt Sql driver for its kind is missing.
    explicit TData1(const DataLink &link, Reuse reuse = Reuse::Few);
    ~TData1();
    TData1(const TData1 &) = delete;
    TData1 &operator=(const TData1 &) = delete;

    // Pattern (a): a statement in a transaction of its own. True when it ran and was committed,
    // false when it failed and was rolled back; `reason` then receives the database's reason.
    // A failing begin or rollback, or a connection found lost, throws Error.
    bool execInTransaction(Query query, const QString &sql, const QVariantList &values = {},
                           qint64 *rowsAffected = nullptr, QString *reason = nullptr);

    // The same steps one at a time, for work that puts several statements in one transaction.
    // begin/rollback throw Error; run and commit report failure in their result (a failed
    // statement leaves the transaction open for the caller to roll back, a failed commit rolls
    // it back itself). A failure on a connection found lost throws Error instead.
    void begin();
    StatementResult run(Query query, const QString &sql, const QVariantList &values = {});
    // run for several sets of values at once (the same kinds in each), in one request where the
    // driver takes arrays; rowsAffected counts them all.
    StatementResult runMany(Query query, const QString &sql, const QList<QVariantList> &sets);
    // Several statements in one request where the path sends batches of statements (one round
    // trip), else one after another; onRow(part, row) for each row of each select, read to its
    // end. Not ok when any statement failed, or when the results are not the selects' (a
    // trigger's own result set): a transaction around it is then the caller's to roll back.
    struct BatchPart {
        QString sql;
        QVariantList values;
        bool select = false;
    };
    StatementResult runBatch(const QList<BatchPart> &parts, const std::function<void(int, const RowView &)> &onRow);
    StatementResult commit();
    // Rolls the open transaction back. `failure` names what failed in it: when given, the
    // connection is probed afterwards and a lost one throws Error(failure).
    void rollback(const QString &failure = {});

    // Pattern (b): a select on qryCurve, read whole. A failing statement throws Error.
    ResultSet select(const QString &sql, const QVariantList &values = {});

    // A select on qryCurve read row by row, nothing kept: `onRow` returning false stops the
    // reading (the result is then dropped, never read again half way). Returns the result's
    // column names. A failing statement throws Error.
    QStringList selectEach(const QString &sql, const QVariantList &values,
                    const std::function<bool(const RowView &)> &onRow);

    // A table's columns (names and kinds), in `select *` order, read from an empty select.
    // Throws Error.
    QList<ColumnInfo> describeTable(const QString &table);
    QStringList columnsOf(const QString &table);

    // A statement outside any transaction as a plain batch of its own: set-up work (schemas in
    // tests and demos) and session settings, which last for the session. Throws Error.
    void execDirect(const QString &sql);
    // As execDirect, for a statement that only tidies up after a job (a session table dropped,
    // a setting put back): one that fails leaves it to the end of the session.
    void tidyUp(const QString &sql);

    // The server's dialect, for the statements that differ between servers.
    Dialect dialect() const;

    // Which statement path the session chose, and how many statements it ran.
    QString pathName() const;
    qint64 pathExecutions() const;

    // Called after every execution with its statement, values and the driver's record of the
    // parameters (tests watch what a driver is asked). Empty: nothing is called.
    using ExecutionObserver = std::function<void(const QString &sql, const QVariantList &values,
                                                 const std::vector<ParameterDeclaration> &declared)>;
    void setExecutionObserver(ExecutionObserver observer) { m_observer = std::move(observer); }

    // The connection broke (found when a statement failed and a probe then failed too).
    bool isLost() const { return m_lost; }

    const DataLink &link() const { return m_link; }
    QSqlDatabase database() const { return m_db; }

private:
    // A query object keeps its last few statements prepared, most recently used first: a batch
    // job alternates between a handful of long statements, and preparing one is not free.
    struct Prepared {
        QString sql;
        std::unique_ptr<Statement> statement;
    };
    struct QueryObject {
        std::list<Prepared> statements;
    };
    QueryObject &queryObject(Query query);
    // `sql` prepared on `q`, most recently used now; nullptr with its error in m_lastError.
    Statement *prepared(QueryObject &q, const QString &sql);
    // Runs `sql` on `q`; the statement it ran on, or nullptr with its error in m_lastError
    // (the statement is then dropped: some drivers leave a failed handle unusable).
    Statement *exec(QueryObject &q, const QString &sql, const QVariantList &values);
    void drop(QueryObject &q, const Statement *statement);
    void finishAll();
    void rollbackOrThrow();
    void throwIfConnectionLost(const QString &statementError);
    // Throws Error with the failure's text, after probing whether the connection is lost.
    [[noreturn]] void throwFailure(const QSqlError &error);
    bool probe();
    QString failureText(const QSqlError &error) const;

    DataLink m_link;
    QString m_connectionName;
    QSqlDatabase m_db;
    std::unique_ptr<StatementPath> m_path;
    ExecutionObserver m_observer;
    QueryObject m_qrySaveData;
    QueryObject m_qryCurve;
    QSqlError m_lastError;
    qint64 m_lastElapsedMs = 0; // how long the last statement ran, to tell a time-out
    bool m_lost = false;
    bool m_inTransaction = false;
};

} // namespace chongma
