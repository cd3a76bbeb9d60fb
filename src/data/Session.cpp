#include "data/Session.h"

#include "data/Error.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>

#include <limits>

namespace chongma {

namespace {

QString errorText(const QSqlError &error)
{
    QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

// QODBC prefixes "DSN=" to a connection string naming neither DRIVER= nor SERVER=, so a
// "DSN=name;..." string is handed over without its own prefix.
QString odbcDatabaseName(const QString &connection)
{
    const bool passedAsIs = connection.contains(QLatin1String("DRIVER="), Qt::CaseInsensitive)
                            || connection.contains(QLatin1String("SERVER="), Qt::CaseInsensitive)
                            || connection.contains(QLatin1String(".dsn"), Qt::CaseInsensitive);
    if (!passedAsIs && connection.startsWith(QLatin1String("DSN="), Qt::CaseInsensitive))
        return connection.mid(4);
    return connection;
}

QString uniqueConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("chongma-%1").arg(counter.fetchAndAddRelaxed(1));
}

} // namespace

int ResultSet::columnIndex(const QString &column) const
{
    for (int i = 0; i < m_columns.size(); ++i) {
        if (m_columns.at(i).compare(column, Qt::CaseInsensitive) == 0)
            return i;
    }
    throw Error(QStringLiteral("Field '%1' not found").arg(column));
}

QVariant ResultSet::value(int row, const QString &column) const
{
    return m_rows.at(row).at(columnIndex(column));
}

bool ResultSet::isNull(int row, const QString &column) const
{
    const QVariant v = value(row, column);
    return !v.isValid() || v.isNull();
}

QString ResultSet::text(int row, const QString &column) const
{
    const QVariant v = value(row, column);
    return (!v.isValid() || v.isNull()) ? QString() : v.toString();
}

qint32 ResultSet::integer(int row, const QString &column) const
{
    const QVariant v = value(row, column);
    if (!v.isValid() || v.isNull())
        return 0;
    bool ok = false;
    const qlonglong n = v.toLongLong(&ok);
    if (!ok || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
        throw Error(QStringLiteral("'%1' is not a valid integer value").arg(v.toString()));
    return qint32(n);
}

TData1::TData1(const DataLink &link) : m_link(link), m_connectionName(uniqueConnectionName())
{
    const QString driver = link.qtDriver();
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw SetupError(QStringLiteral("The Qt Sql driver %1 is not available").arg(driver));

    m_db = QSqlDatabase::addDatabase(driver, m_connectionName);
    if (!m_db.isValid())
        throw SetupError(QStringLiteral("The Qt Sql driver %1 could not be loaded").arg(driver));

    switch (link.kind) {
    case DataLink::Kind::Sqlite:
        // Checked again here: opening a missing file would create an empty database.
        if (!QFileInfo(link.sqliteFile).isFile())
            throw ConnectionError(QStringLiteral("SQLite database %1 does not exist").arg(link.sqliteFile));
        m_db.setDatabaseName(link.sqliteFile);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        break;
    case DataLink::Kind::SqlServer:
    case DataLink::Kind::Odbc:
        m_db.setDatabaseName(odbcDatabaseName(link.odbcConnection));
        if (link.kind == DataLink::Kind::Odbc && !link.userId.isEmpty()) {
            m_db.setUserName(link.userId);
            m_db.setPassword(link.password);
        }
        // Without a login time-out FreeTDS waits forever on a server that never answers.
        if (link.connectTimeout > 0)
            m_db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(link.connectTimeout));
        break;
    }

    if (!m_db.open()) {
        const QString reason = link.redact(errorText(m_db.lastError()));
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        throw ConnectionError(QStringLiteral("%1: %2").arg(link.describe(), reason));
    }
    m_qrySaveData.query = QSqlQuery(m_db);
    m_qryCurve.query = QSqlQuery(m_db);
    m_qrySaveData.query.setForwardOnly(true);
    m_qryCurve.query.setForwardOnly(true);
}

TData1::~TData1()
{
    m_qrySaveData.query = QSqlQuery();
    m_qryCurve.query = QSqlQuery();
    if (m_db.isOpen())
        m_db.close(); // an open transaction is rolled back by the server
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString TData1::dbError(const QString &driverText) const { return m_link.redact(driverText); }

TData1::QueryObject &TData1::queryObject(Query query)
{
    return query == Query::SaveData ? m_qrySaveData : m_qryCurve;
}

bool TData1::run(QueryObject &q, const QString &sql, const QVariantList &values)
{
    q.query.finish();
    if (q.preparedSql != sql || sql.isEmpty()) {
        q.preparedSql.clear();
        if (!q.query.prepare(sql))
            return false;
        q.preparedSql = sql;
    }
    for (int i = 0; i < values.size(); ++i)
        q.query.bindValue(i, values.at(i));
    if (!q.query.exec()) {
        // A statement that failed may leave the prepared handle unusable on some drivers.
        q.preparedSql.clear();
        return false;
    }
    return true;
}

void TData1::rollbackOrThrow()
{
    if (!m_db.rollback())
        throw Error(dbError(errorText(m_db.lastError())));
}

void TData1::throwIfConnectionLost(const QSqlError &statementError)
{
    // Some drivers accept the rollback on a dead connection without complaint; a lost
    // connection must stop the operation, never pass for one statement that failed.
    QSqlQuery probe(m_db);
    if (!probe.exec(QStringLiteral("select 1")))
        throw Error(dbError(errorText(statementError)));
}

bool TData1::execInTransaction(Query query, const QString &sql, const QVariantList &values,
                               int *rowsAffected)
{
    QueryObject &q = queryObject(query);
    // Drivers refuse to begin while a result is open on the connection.
    m_qrySaveData.query.finish();
    m_qryCurve.query.finish();
    if (!m_db.transaction())
        throw Error(dbError(errorText(m_db.lastError())));

    if (!run(q, sql, values)) {
        const QSqlError error = q.query.lastError();
        rollbackOrThrow();
        throwIfConnectionLost(error);
        return false;
    }
    const int affected = q.query.numRowsAffected();
    q.query.finish();
    if (!m_db.commit()) {
        const QSqlError error = m_db.lastError();
        rollbackOrThrow();
        throwIfConnectionLost(error);
        return false;
    }
    if (rowsAffected)
        *rowsAffected = affected;
    return true;
}

ResultSet TData1::select(const QString &sql, const QVariantList &values)
{
    QueryObject &q = m_qryCurve;
    if (!run(q, sql, values))
        throw Error(dbError(errorText(q.query.lastError())));
    if (!q.query.isSelect()) {
        q.query.finish();
        throw Error(QStringLiteral("The statement returned no result set"));
    }
    ResultSet result;
    const QSqlRecord record = q.query.record();
    const int columns = record.count();
    for (int i = 0; i < columns; ++i)
        result.m_columns.append(record.fieldName(i));
    while (q.query.next()) {
        QVector<QVariant> row(columns);
        for (int i = 0; i < columns; ++i)
            row[i] = q.query.value(i);
        result.m_rows.append(std::move(row));
    }
    const QSqlError fetchError = q.query.lastError();
    q.query.finish();
    if (fetchError.isValid())
        throw Error(dbError(errorText(fetchError)));
    return result;
}

void TData1::execDirect(const QString &sql)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql))
        throw Error(dbError(errorText(q.lastError())));
}

} // namespace chongma
