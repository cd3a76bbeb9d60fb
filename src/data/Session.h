#pragma once

#include "data/DataLink.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace chongma {

// A select's whole result, read at once so that nothing stays open on the connection.
// Columns are found by name, ignoring case (PostgreSQL folds unquoted names to lower case).
class ResultSet {
public:
    int count() const { return int(m_rows.size()); }
    bool isNull(int row, const QString &column) const;
    QString text(int row, const QString &column) const;  // NULL reads as ""
    qint32 integer(int row, const QString &column) const; // NULL reads as 0
    QVariant value(int row, const QString &column) const;

private:
    friend class TData1;
    int columnIndex(const QString &column) const;
    QStringList m_columns;
    QVector<QVector<QVariant>> m_rows;
};

// The database session: one connection, opened at creation and kept until destruction, with
// the two query objects every operation uses. Belongs to the thread that created it.
class TData1 {
public:
    enum class Query { SaveData, Curve }; // qrySaveData, qryCurve

    // Opens the connection the data link describes. Throws ConnectionError when it cannot be
    // opened, SetupError when the Qt Sql driver for its kind is missing.
    explicit TData1(const DataLink &link);
    ~TData1();
    TData1(const TData1 &) = delete;
    TData1 &operator=(const TData1 &) = delete;

    // A statement in a transaction of its own: true when it ran and was committed, false when it
    // failed and was rolled back (its error dropped). A failing begin or rollback throws Error.
    // `rowsAffected`, when given, receives the statement's count of affected rows (-1 unknown).
    bool execInTransaction(Query query, const QString &sql, const QVariantList &values = {},
                           int *rowsAffected = nullptr);

    // A select on qryCurve, read whole. A failing statement throws Error.
    ResultSet select(const QString &sql, const QVariantList &values = {});

    // A statement outside any transaction, for set-up work (schemas in tests and demos).
    // Throws Error on failure.
    void execDirect(const QString &sql);

    const DataLink &link() const { return m_link; }
    QSqlDatabase database() const { return m_db; }

private:
    struct QueryObject {
        QSqlQuery query;
        QString preparedSql; // what `query` holds prepared, so a repeated statement is prepared once
    };
    QueryObject &queryObject(Query query);
    bool run(QueryObject &q, const QString &sql, const QVariantList &values);
    void rollbackOrThrow();
    void throwIfConnectionLost(const QSqlError &statementError);
    QString dbError(const QString &driverText) const;

    DataLink m_link;
    QString m_connectionName;
    QSqlDatabase m_db;
    QueryObject m_qrySaveData;
    QueryObject m_qryCurve;
};

} // namespace chongma
