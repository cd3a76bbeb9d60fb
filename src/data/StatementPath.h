#pragma once

#include <QList>
#include <QSqlError>
#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

class QSqlDatabase;

namespace chongma {

struct DataLink;

// The server behind a path, where the portable statements are not enough (row locks, the
// catalogue, session settings).
enum class Dialect { SqlServer, PostgreSQL, Sqlite, Other };

// What kind of value a column (or, in SQLite, a single value) holds. It decides how a value is
// read, written to a backup and bound back.
enum class ValueKind {
    Null,
    Integer,  // qlonglong
    Real,     // double
    Decimal,  // QString: the server's exact digits
    Text,     // QString
    Binary,   // QByteArray
    Boolean,  // bool
    Temporal, // QString: the server's own text form of a date, time or timestamp
    Other,    // QString: the server's own text form
    Untyped,  // a SQLite column without a declared type: each value keeps its own kind
};

struct ColumnInfo {
    QString name;
    ValueKind kind = ValueKind::Other;
};

// How the driver records one parameter of the last execution (its implementation parameter
// descriptor). A text is never longer than its declaration.
struct ParameterDeclaration {
    int sqlType = 0;       // SQL_WVARCHAR, SQL_BIGINT, ...
    qint64 columnSize = 0; // characters or bytes; 0 for the unlimited long forms
};

// One prepared statement on a path. It owns its parameter buffers and, once run, its result.
// Values are texts, integers, doubles, booleans, byte arrays or NULLs (of a type).
class Statement {
public:
    virtual ~Statement() = default;

    // Runs the statement with these values; false with error() when it failed. A select leaves
    // its rows for next(); any other statement's results are read to their end.
    virtual bool execute(const QVariantList &values) = 0;
    virtual qint64 rowsAffected() const = 0; // -1 when the driver cannot tell
    virtual QSqlError error() const = 0;

    // The result of a select, after execute.
    virtual QList<ColumnInfo> columns() const = 0;
    // The next row; false at the end or on failure (error() is then valid).
    virtual bool next() = 0;
    virtual bool isNull(int column) const = 0;
    virtual ValueKind kind(int column) const = 0; // of this row's value
    // Integers as qlonglong, reals as double, texts as QString, binary data as QByteArray;
    // decimals, dates and times as the server's own text (exact). Invalid for NULL.
    virtual QVariant value(int column) const = 0;
    // Ends the result so the statement runs again cleanly: a result not read to its end is
    // dropped with its handle (some drivers fail the next run of a select closed early).
    // Returns false when the statement must be prepared again before its next use.
    virtual bool close(bool readToEnd) = 0;

    // Runs a statement that returns no rows once for each set of values, all sets alike (the
    // same kinds in the same places); false with error() when any failed. Where the driver
    // takes arrays of values, every set goes in one request: one round trip, not one a set.
    virtual bool executeMany(const QList<QVariantList> &sets)
    {
        qint64 total = 0;
        for (const QVariantList &values : sets) {
            if (!execute(values))
                return false;
            total += qMax<qint64>(0, rowsAffected());
        }
        m_manyAffected = total;
        return true;
    }
    // A batch of statements (selects and others, one text) in one request: stands at its
    // first result; nextResult() moves on once a result's rows were read to their end (next()
    // false) and is false after the last one. A result without columns is a statement's count
    // (rowsAffected()). False, without running anything, where the path sends no such batches;
    // false with error() when the batch failed.
    virtual bool executeBatch(const QVariantList &values)
    {
        Q_UNUSED(values);
        return false;
    }
    virtual bool nextResult() { return false; }

    // Rows the last executeMany affected in all; -1 when the driver cannot tell.
    virtual qint64 rowsAffectedByMany() const { return m_manyAffected; }

    // The driver's record of the parameters of the last execution; empty where the driver
    // keeps none.
    virtual std::vector<ParameterDeclaration> declarations() const { return {}; }

protected:
    qint64 m_manyAffected = -1;
};

// How statements reach the database: chosen once, when the session opens, from what the Qt
// driver allows (straight ODBC, straight SQLite, or Qt's own statements).
class StatementPath {
public:
    virtual ~StatementPath() = default;
    virtual QString name() const = 0; // "odbc", "sqlite", "qt"
    virtual Dialect dialect() const = 0;
    virtual std::unique_ptr<Statement> prepare(const QString &sql, QSqlError &error) = 0;
    // A statement without values as a plain batch of its own (set-up, session settings, which
    // then last for the session); its results are read to their end.
    virtual bool execDirect(const QString &sql, QSqlError &error) = 0;
    // The connection is about to close with no transaction open: its statements are left for
    // the disconnection to free (psqlODBC and FreeTDS then send nothing for them, where freeing
    // each costs a round trip to drop its prepared form). Statements must not run after it.
    // False where the path's statements must be freed before the connection closes.
    virtual bool leaveStatementsToDisconnect() { return false; }
    // Whether its statements run batches of statements (Statement::executeBatch): one round
    // trip for several statements.
    virtual bool runsBatches() const { return false; }
    // Transactions on the path's connection. A failed commit leaves the transaction for the
    // caller to roll back.
    virtual bool begin(QSqlError &error) = 0;
    virtual bool commit(QSqlError &error) = 0;
    virtual bool rollback(QSqlError &error) = 0;

    // Statements run through this path since the session opened: its use made visible.
    qint64 executions() const { return m_executions; }
    void countExecution() { ++m_executions; }

private:
    qint64 m_executions = 0;
};

// The path for an open connection: ODBC's own API for QODBC, SQLite's for QSQLITE on the very
// library this program links, Qt's statements otherwise. `commandTimeout` in seconds, 0 = none.
std::unique_ptr<StatementPath> makeStatementPath(const QSqlDatabase &db, const DataLink &link, int commandTimeout);

// The kind a QVariant value has, as the Qt path and the tests read them.
ValueKind kindOf(const QVariant &value);

} // namespace chongma
