#include "data/Session.h"

#include "data/Error.h"
#include "data/OdbcStatement.h"
#include "data/SqliteStatement.h"
#include "data/Statements.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>

#include <algorithm>
#include <climits>
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

int findColumn(const QStringList &columns, const QString &name)
{
    for (int i = 0; i < columns.size(); ++i) {
        if (columns.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    throw Error(QStringLiteral("Field '%1' not found").arg(name));
}

bool isNullValue(const QVariant &v) { return !v.isValid() || v.isNull(); }

qint64 toInt64(const QVariant &v, qint64 min, qint64 max)
{
    if (isNullValue(v))
        return 0;
    bool ok = false;
    const qlonglong n = v.toLongLong(&ok);
    if (!ok || n < min || n > max)
        throw Error(QStringLiteral("'%1' is not a valid integer value").arg(v.toString()));
    return n;
}

qint32 toInt32(const QVariant &v)
{
    return qint32(toInt64(v, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()));
}

// A harmless statement that still makes the database read its own catalogue: SQLite opens any
// file lazily, and only reading the schema tells a database from a text file.
QString probeStatement(DataLink::Kind kind)
{
    return kind == DataLink::Kind::Sqlite ? sql::probeSqlite() : sql::probe();
}

} // namespace

int ResultSet::columnIndex(const QString &column) const { return findColumn(m_columns, column); }

QVariant ResultSet::value(int row, const QString &column) const
{
    return m_rows.at(row).at(columnIndex(column));
}

bool ResultSet::isNull(int row, const QString &column) const { return isNullValue(value(row, column)); }

QString ResultSet::text(int row, const QString &column) const
{
    const QVariant v = value(row, column);
    return isNullValue(v) ? QString() : v.toString();
}

qint32 ResultSet::integer(int row, const QString &column) const { return toInt32(value(row, column)); }

qint64 ResultSet::int64(int row, const QString &column) const
{
    return toInt64(value(row, column), std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
}

int RowView::column(const QString &name) const { return findColumn(m_columns, name); }

QVariant RowView::value(int column) const
{
    if (m_block)
        return m_block->value(m_row, column);
    if (m_query->isNull(column))
        return QVariant();
    return m_query->value(column);
}

bool RowView::isNull(int column) const { return m_block ? m_block->isNull(m_row, column) : m_query->isNull(column); }

QString RowView::text(int column) const
{
    return isNull(column) ? QString() : value(column).toString();
}

qint32 RowView::integer(int column) const { return toInt32(value(column)); }

TData1::TData1(const DataLink &link) : m_link(link), m_connectionName(uniqueConnectionName())
{
    const QString driver = link.qtDriver();
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw SetupError(QStringLiteral("The Qt Sql driver %1 is not available").arg(driver));

    m_db = QSqlDatabase::addDatabase(driver, m_connectionName);
    if (!m_db.isValid())
        throw SetupError(QStringLiteral("The Qt Sql driver %1 could not be loaded").arg(driver));

    switch (link.kind) {
    case DataLink::Kind::Sqlite: {
        // Checked again here: opening a missing file would create an empty database.
        if (!QFileInfo(link.sqliteFile).isFile())
            throw ConnectionError(QStringLiteral("SQLite database %1 does not exist").arg(link.sqliteFile));
        m_db.setDatabaseName(link.sqliteFile);
        // SQLite's only wait is for another connection's lock: that is where the limit applies.
        const qint64 busyMs = link.commandTimeout > 0 ? qint64(link.commandTimeout) * 1000 : qint64(INT_MAX);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(qMin(busyMs, qint64(INT_MAX))));
        break;
    }
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

    const auto fail = [&](const QString &reason) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        return ConnectionError(QStringLiteral("%1: %2").arg(link.describe(), link.redact(reason)));
    };
    if (!m_db.open())
        throw fail(errorText(m_db.lastError()));

    // An open connection is not yet a database: a text file opens as SQLite.
    QSqlQuery probeQuery(m_db);
    if (!probeQuery.exec(probeStatement(link.kind)))
        throw fail(errorText(probeQuery.lastError()));
    // Reads through a mapping rather than a read call per page: the search fetches its rows
    // scattered over the table. Bounded, so memory stays the same on any size of file; the
    // mapping is read-only, writes still go through the journal.
    if (link.kind == DataLink::Kind::Sqlite)
        probeQuery.exec(sql::sqliteMapSize());
}

TData1::~TData1()
{
    m_qrySaveData.statements.clear();
    m_qryCurve.statements.clear();
    if (m_db.isOpen())
        m_db.close(); // an open transaction is rolled back by the server
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString TData1::failureText(const QSqlError &error) const
{
    QString text = m_link.redact(errorText(error));
    const int limit = m_link.commandTimeout;
    // Drivers word a time-out differently; how long the statement ran tells it alike.
    if (limit > 0 && m_lastElapsedMs + 250 >= qint64(limit) * 1000) {
        text += QStringLiteral(" (the statement reached its time limit of %1 s; raise it with Command Timeout "
                               "in the data link, or --timeout in chongma-cli; 0 means no limit)")
                    .arg(limit);
    }
    return text;
}

TData1::QueryObject &TData1::queryObject(Query query)
{
    return query == Query::SaveData ? m_qrySaveData : m_qryCurve;
}

QSqlQuery *TData1::prepared(QueryObject &q, const QString &sql)
{
    constexpr std::size_t kPreparedPerQuery = 6;
    m_lastElapsedMs = 0;
    auto it = std::find_if(q.statements.begin(), q.statements.end(), [&](const Prepared &p) { return p.sql == sql; });
    if (it == q.statements.end()) {
        Prepared fresh{sql, QSqlQuery(m_db)};
        fresh.query.setForwardOnly(true);
        if (!fresh.query.prepare(sql)) {
            m_lastError = fresh.query.lastError();
            return nullptr;
        }
        if (m_link.kind != DataLink::Kind::Sqlite && m_link.commandTimeout > 0)
            setOdbcQueryTimeout(fresh.query, m_link.commandTimeout);
        q.statements.push_front(std::move(fresh));
        if (q.statements.size() > kPreparedPerQuery)
            q.statements.pop_back();
    } else if (it != q.statements.begin()) {
        q.statements.splice(q.statements.begin(), q.statements, it);
    }
    return &q.statements.front().query;
}

QSqlQuery *TData1::exec(QueryObject &q, const QString &sql, const QVariantList &values)
{
    QSqlQuery *prepared = this->prepared(q, sql);
    if (!prepared)
        return nullptr;
    QSqlQuery &query = *prepared;
    query.finish();
    q.statements.front().texts->forget(); // Qt binds its own on the handle
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    QElapsedTimer timer;
    timer.start();
    const bool ok = query.exec();
    m_lastElapsedMs = timer.elapsed();
    if (!ok) {
        // A statement that failed may leave the prepared handle unusable on some drivers.
        m_lastError = query.lastError();
        q.statements.pop_front();
        return nullptr;
    }
    return &query;
}

void TData1::finishAll()
{
    // Drivers refuse to begin while a result is open on the connection.
    for (QueryObject *q : {&m_qrySaveData, &m_qryCurve}) {
        for (Prepared &p : q->statements)
            p.query.finish();
    }
}

bool TData1::probe()
{
    QSqlQuery probeQuery(m_db);
    return probeQuery.exec(sql::probe());
}

void TData1::rollbackOrThrow()
{
    if (!m_db.rollback()) {
        const QString reason = m_link.redact(errorText(m_db.lastError()));
        if (!probe())
            m_lost = true;
        throw Error(reason);
    }
}

void TData1::throwIfConnectionLost(const QString &statementError)
{
    // Some drivers accept the rollback on a dead connection without complaint; a lost
    // connection must stop the operation, never pass for one statement that failed.
    if (!probe()) {
        m_lost = true;
        throw Error(statementError);
    }
}

void TData1::throwFailure(const QSqlError &error)
{
    const QString reason = failureText(error);
    throwIfConnectionLost(reason);
    throw Error(reason);
}

void TData1::begin()
{
    finishAll();
    if (!m_db.transaction()) {
        const QString reason = m_link.redact(errorText(m_db.lastError()));
        if (!probe())
            m_lost = true;
        throw Error(reason);
    }
}

StatementResult TData1::run(Query query, const QString &sql, const QVariantList &values)
{
    StatementResult result;
    QSqlQuery *q = exec(queryObject(query), sql, values);
    if (!q) {
        result.error = failureText(m_lastError);
        return result;
    }
    result.ok = true;
    result.rowsAffected = q->numRowsAffected();
    q->finish();
    return result;
}

StatementResult TData1::runTexts(Query query, const QString &sql, const QVariantList &values)
{
    StatementResult result;
    QueryObject &q = queryObject(query);
    QSqlQuery *prepared = this->prepared(q, sql);
    if (!prepared) {
        result.error = failureText(m_lastError);
        return result;
    }
    prepared->finish();
    QElapsedTimer timer;
    timer.start();
    const std::optional<StraightResult> straight = m_link.kind == DataLink::Kind::Sqlite
                                                       ? execSqliteTexts(*prepared, values)
                                                       : execOdbcTexts(*prepared, values, *q.statements.front().texts);
    m_lastElapsedMs = timer.elapsed();
    if (!straight)
        return run(query, sql, values);
    if (!straight->ok) {
        q.statements.pop_front(); // as after any failed statement
        result.error = failureText(straight->error);
        return result;
    }
    result.ok = true;
    result.rowsAffected = straight->rowsAffected;
    return result;
}

StatementResult TData1::commit()
{
    StatementResult result;
    finishAll();
    if (m_db.commit()) {
        result.ok = true;
        return result;
    }
    result.error = m_link.redact(errorText(m_db.lastError()));
    rollback(result.error);
    return result;
}

void TData1::rollback(const QString &failure)
{
    rollbackOrThrow();
    if (!failure.isEmpty())
        throwIfConnectionLost(failure);
}

bool TData1::execInTransaction(Query query, const QString &sql, const QVariantList &values, qint64 *rowsAffected,
                               QString *reason)
{
    begin();
    const StatementResult statement = run(query, sql, values);
    if (!statement.ok) {
        rollbackOrThrow();
        throwIfConnectionLost(statement.error);
        if (reason)
            *reason = statement.error;
        return false;
    }
    const StatementResult committed = commit();
    if (!committed.ok) {
        if (reason)
            *reason = committed.error;
        return false;
    }
    if (rowsAffected)
        *rowsAffected = statement.rowsAffected;
    return true;
}

ResultSet TData1::select(const QString &sql, const QVariantList &values)
{
    ResultSet result;
    result.m_columns = selectEach(sql, values, [&](const RowView &row) {
        QVector<QVariant> copy(row.columnCount());
        for (int i = 0; i < row.columnCount(); ++i)
            copy[i] = row.value(i);
        result.m_rows.append(std::move(copy));
        return true;
    });
    return result;
}

std::optional<QStringList> TData1::selectEachInBlocks(const QString &sql, const QVariantList &values,
                                                      const std::function<bool(const RowView &)> &onRow)
{
    QSqlQuery *prepared = this->prepared(m_qryCurve, sql);
    if (!prepared) {
        throwFailure(m_lastError);
    }
    prepared->finish();
    RowView row;
    QSqlError failure;
    {
        OdbcRows rows;
        QElapsedTimer timer;
        timer.start();
        const OdbcRows::Opened opened = rows.open(*prepared, values, *m_qryCurve.statements.front().texts);
        m_lastElapsedMs = timer.elapsed();
        switch (opened) {
        case OdbcRows::Opened::NotRun:
        case OdbcRows::Opened::Unsupported:
            return std::nullopt;
        case OdbcRows::Opened::Failed:
            failure = rows.error();
            break;
        case OdbcRows::Opened::Yes: {
            row.m_block = &rows;
            row.m_columns = rows.columns();
            bool more = true;
            while (more && rows.fetch()) {
                for (qsizetype i = 0; more && i < rows.rows(); ++i) {
                    row.m_row = i;
                    more = onRow(row);
                }
            }
            if (more)
                failure = rows.error();
            break;
        }
        }
    }
    if (failure.isValid()) {
        m_qryCurve.statements.pop_front(); // as after any failed statement
        throwFailure(failure);
    }
    return row.m_columns;
}

QStringList TData1::selectEach(const QString &sql, const QVariantList &values,
                        const std::function<bool(const RowView &)> &onRow)
{
    if (m_link.kind != DataLink::Kind::Sqlite && onlyTexts(values)) {
        if (std::optional<QStringList> columns = selectEachInBlocks(sql, values, onRow))
            return *columns;
    }
    QSqlQuery *q = exec(m_qryCurve, sql, values);
    if (!q) {
        throwFailure(m_lastError);
    }
    if (!q->isSelect()) {
        q->finish();
        throw Error(QStringLiteral("The statement returned no result set"));
    }
    RowView row;
    row.m_query = q;
    const QSqlRecord record = q->record();
    for (int i = 0; i < record.count(); ++i)
        row.m_columns.append(record.fieldName(i));
    bool more = true;
    while (more && q->next())
        more = onRow(row);
    const QSqlError fetchError = more ? q->lastError() : QSqlError();
    q->finish();
    if (fetchError.isValid()) {
        throwFailure(fetchError);
    }
    return row.m_columns;
}

QSqlRecord TData1::recordOf(const QString &table)
{
    QSqlQuery *q = exec(m_qryCurve, sql::emptySelect(table), {});
    if (!q) {
        throwFailure(m_lastError);
    }
    const QSqlRecord record = q->record();
    q->finish();
    return record;
}

QStringList TData1::columnsOf(const QString &table)
{
    const QSqlRecord record = recordOf(table);
    QStringList names;
    for (int i = 0; i < record.count(); ++i)
        names.append(record.fieldName(i));
    return names;
}

void TData1::execDirect(const QString &sql)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql))
        throw Error(m_link.redact(errorText(q.lastError())));
}

} // namespace chongma
