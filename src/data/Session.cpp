#include "data/Session.h"

#include "data/Error.h"
#include "data/Statements.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

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

// psqlODBC's settings for this program, each unless the connection names its own:
// - it wraps every statement of a transaction in a savepoint of its own, a round trip or more
//   each, so that a failed statement leaves the rest of the transaction in place. Every
//   transaction of this program is rolled back whole when any of its statements fails, so the
//   savepoints buy nothing: psqlODBC rolls back the transaction instead (its rollback level 1);
// - a statement prepared on the server costs a round trip to parse and describe it before the
//   one that runs it, and most of ours run once or a few times a session: there the driver
//   writes the values into the statement instead, one round trip a run, parsed and planned by
//   the server each time (UseServerSidePrepare=0). A session that runs its statements many
//   times keeps them prepared: the import's lookups of two thousand codes took 17.5 s instead of
//   11.9 s for a million lines, the server planning each. Arrays of values and batches of
//   statements are written out by the driver either way.
QString withPsqlOdbcSettings(const QString &connection, TData1::Reuse reuse)
{
    const bool psqlOdbc = connection.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive)
                          || connection.contains(QLatin1String("psqlodbc"), Qt::CaseInsensitive);
    if (!psqlOdbc || !connection.contains(QLatin1String("DRIVER="), Qt::CaseInsensitive))
        return connection;
    QString result = connection;
    const auto add = [&](QLatin1String key, QLatin1String value) {
        if (connection.contains(key + u'=', Qt::CaseInsensitive))
            return;
        if (!result.endsWith(u';'))
            result += u';';
        result += key + u'=' + value + u';';
    };
    add(QLatin1String("Protocol"), QLatin1String("7.4-1"));
    add(QLatin1String("UseServerSidePrepare"), reuse == TData1::Reuse::Many ? QLatin1String("1") : QLatin1String("0"));
    return result;
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

} // namespace

int ResultSet::columnIndex(const QString &column) const { return findColumn(m_columns, column); }

// A row asked for beyond those a server answered with is an error, as a missing column is.
int ResultSet::rowIndex(int row) const
{
    if (row < 0 || row >= count())
        throw Error(QStringLiteral("Row %1 of %2 not found").arg(row).arg(count()));
    return row;
}

QVariant ResultSet::value(int row, const QString &column) const { return m_rows.at(rowIndex(row)).at(columnIndex(column)); }

ValueKind ResultSet::kind(int row, const QString &column) const { return m_kinds.at(rowIndex(row)).at(columnIndex(column)); }

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

QVariant RowView::value(int column) const { return m_statement->value(column); }

bool RowView::isNull(int column) const { return m_statement->isNull(column); }

ValueKind RowView::kind(int column) const { return m_statement->kind(column); }

QString RowView::text(int column) const
{
    return isNull(column) ? QString() : value(column).toString();
}

qint32 RowView::integer(int column) const { return toInt32(value(column)); }

TData1::TData1(const DataLink &link, Reuse reuse) : m_link(link), m_connectionName(uniqueConnectionName())
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
        // The login is in the connection string, braced as the driver reads it: Qt would append
        // its own unquoted, cut at a ';'.
        m_db.setDatabaseName(odbcDatabaseName(withPsqlOdbcSettings(link.odbcConnection, reuse)));
        // An ODBC 3 environment (Qt asks for ODBC 2 by default): the drivers' block fetches and
        // type codes are those of ODBC 3. Without a login time-out FreeTDS waits forever on a
        // server that never answers.
        m_db.setConnectOptions(link.connectTimeout > 0
                                   ? QStringLiteral("SQL_ATTR_ODBC_VERSION=SQL_OV_ODBC3;SQL_ATTR_LOGIN_TIMEOUT=%1")
                                         .arg(link.connectTimeout)
                                   : QStringLiteral("SQL_ATTR_ODBC_VERSION=SQL_OV_ODBC3"));
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

    m_path = makeStatementPath(m_db, link, link.commandTimeout);
    // An open connection is not yet a database: a text file opens as SQLite. Then settings that
    // last for the session; one the server refuses is no reason not to work. Where the path
    // takes batches the probe and the settings go as one, a round trip less for each
    // connection; when that fails each goes on its own, as the probe's failure is to be told.
    const QString probe = sql::openingProbe(m_path->dialect());
    const QStringList settings = sql::sessionSettings(m_path->dialect(), link.commandTimeout);
    QSqlError failure;
    if (!m_path->runsBatches() || settings.isEmpty()
        || !m_path->execDirect((QStringList{probe} + settings).join(QLatin1String("; ")), failure)) {
        if (!m_path->execDirect(probe, failure)) {
            m_path.reset();
            throw fail(errorText(failure));
        }
        for (const QString &setting : settings)
            m_path->execDirect(setting, failure);
    }
}

TData1::~TData1()
{
    // Without a transaction open the disconnection frees the statements, and drivers then drop
    // their prepared forms with the connection instead of one round trip each.
    if (m_path && m_db.isOpen() && !m_inTransaction) {
        finishAll();
        if (m_path->leaveStatementsToDisconnect())
            m_db.close();
    }
    m_qrySaveData.statements.clear();
    m_qryCurve.statements.clear();
    m_path.reset();
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

Statement *TData1::prepared(QueryObject &q, const QString &sql)
{
    constexpr std::size_t kPreparedPerQuery = 6;
    m_lastElapsedMs = 0;
    auto it = std::find_if(q.statements.begin(), q.statements.end(), [&](const Prepared &p) { return p.sql == sql; });
    if (it == q.statements.end()) {
        std::unique_ptr<Statement> statement = m_path->prepare(sql, m_lastError);
        if (!statement)
            return nullptr;
        q.statements.push_front({sql, std::move(statement)});
        if (q.statements.size() > kPreparedPerQuery)
            q.statements.pop_back();
    } else if (it != q.statements.begin()) {
        q.statements.splice(q.statements.begin(), q.statements, it);
    }
    return q.statements.front().statement.get();
}

void TData1::drop(QueryObject &q, const Statement *statement)
{
    q.statements.remove_if([&](const Prepared &p) { return p.statement.get() == statement; });
}

Statement *TData1::exec(QueryObject &q, const QString &sql, const QVariantList &values)
{
    Statement *statement = prepared(q, sql);
    if (!statement)
        return nullptr;
    QElapsedTimer timer;
    timer.start();
    const bool ok = statement->execute(values);
    m_lastElapsedMs = timer.elapsed();
    if (m_observer)
        m_observer(sql, values, statement->declarations());
    if (!ok) {
        m_lastError = statement->error();
        drop(q, statement);
        return nullptr;
    }
    return statement;
}

void TData1::finishAll()
{
    // Drivers refuse to begin or end a transaction while a result is open on the connection.
    for (QueryObject *q : {&m_qrySaveData, &m_qryCurve}) {
        for (auto it = q->statements.begin(); it != q->statements.end();) {
            if (it->statement->close(true))
                ++it;
            else
                it = q->statements.erase(it);
        }
    }
}

bool TData1::probe()
{
    QSqlError ignored;
    return m_path->execDirect(sql::probe(), ignored);
}

void TData1::rollbackOrThrow()
{
    finishAll();
    m_inTransaction = false;
    QSqlError failure;
    if (!m_path->rollback(failure)) {
        const QString reason = m_link.redact(errorText(failure));
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
    QSqlError failure;
    // A job that failed half way through a transaction (its error thrown past the rollback)
    // left it open: nothing of it may be committed with the next one.
    if (m_inTransaction) {
        m_inTransaction = false;
        m_path->rollback(failure);
    }
    QElapsedTimer timer;
    timer.start();
    const bool begun = m_path->begin(failure);
    m_lastElapsedMs = timer.elapsed(); // SQLite waits here for another writer's lock
    if (!begun) {
        const QString reason = failureText(failure);
        if (!probe())
            m_lost = true;
        throw Error(reason);
    }
    m_inTransaction = true;
}

StatementResult TData1::run(Query query, const QString &sql, const QVariantList &values)
{
    StatementResult result;
    QueryObject &q = queryObject(query);
    Statement *statement = exec(q, sql, values);
    if (!statement) {
        result.error = failureText(m_lastError);
        return result;
    }
    result.ok = true;
    result.rowsAffected = statement->rowsAffected();
    if (!statement->close(true))
        drop(q, statement);
    return result;
}

StatementResult TData1::runMany(Query query, const QString &sql, const QList<QVariantList> &sets)
{
    StatementResult result;
    QueryObject &q = queryObject(query);
    Statement *statement = prepared(q, sql);
    if (!statement) {
        result.error = failureText(m_lastError);
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    const bool ok = statement->executeMany(sets);
    m_lastElapsedMs = timer.elapsed();
    if (m_observer) {
        const std::vector<ParameterDeclaration> declared = statement->declarations();
        for (const QVariantList &values : sets)
            m_observer(sql, values, declared);
    }
    if (!ok) {
        result.error = failureText(statement->error());
        drop(q, statement);
        return result;
    }
    result.ok = true;
    result.rowsAffected = statement->rowsAffectedByMany();
    return result;
}

StatementResult TData1::commit()
{
    StatementResult result;
    finishAll();
    QSqlError failure;
    if (m_path->commit(failure)) {
        m_inTransaction = false;
        result.ok = true;
        return result;
    }
    result.error = m_link.redact(errorText(failure));
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
        QVector<ValueKind> kinds(row.columnCount());
        for (int i = 0; i < row.columnCount(); ++i) {
            copy[i] = row.value(i);
            kinds[i] = row.kind(i);
        }
        result.m_rows.append(std::move(copy));
        result.m_kinds.append(std::move(kinds));
        return true;
    });
    return result;
}

StatementResult TData1::runBatch(const QList<BatchPart> &parts, const std::function<void(int, const RowView &)> &onRow)
{
    StatementResult result;
    if (!m_path->runsBatches()) {
        try {
            for (int part = 0; part < parts.size(); ++part) {
                const BatchPart &p = parts.at(part);
                if (p.select) {
                    selectEach(p.sql, p.values, [&](const RowView &row) {
                        onRow(part, row);
                        return true;
                    });
                    continue;
                }
                const StatementResult done = run(Query::Curve, p.sql, p.values);
                if (!done.ok)
                    return done;
            }
        } catch (const ConnectionError &) {
            throw;
        } catch (const Error &e) {
            result.error = e.message();
            return result;
        }
        result.ok = true;
        return result;
    }

    QStringList texts;
    QVariantList values;
    for (const BatchPart &p : parts) {
        texts << p.sql;
        values += p.values;
    }
    const QString sql = texts.join(QStringLiteral("; "));
    Statement *statement = prepared(m_qryCurve, sql);
    if (!statement) {
        result.error = failureText(m_lastError);
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    const bool ok = statement->executeBatch(values);
    m_lastElapsedMs = timer.elapsed();
    if (m_observer)
        m_observer(sql, values, statement->declarations());
    const auto failed = [&](const QString &error) {
        drop(m_qryCurve, statement);
        result.error = error;
        return result;
    };
    if (!ok)
        return failed(failureText(statement->error()));
    int part = 0;
    const auto nextSelect = [&] {
        while (part < parts.size() && !parts.at(part).select)
            ++part;
    };
    try {
        do {
            const QList<ColumnInfo> columns = statement->columns();
            if (columns.isEmpty())
                continue; // a count: a statement's own, or a trigger's
            nextSelect();
            if (part == parts.size())
                return failed(QStringLiteral("The statements returned more result sets than they select"));
            RowView row;
            row.m_statement = statement;
            for (const ColumnInfo &column : columns)
                row.m_columns.append(column.name);
            while (statement->next())
                onRow(part, row);
            if (statement->error().isValid())
                return failed(failureText(statement->error()));
            ++part;
        } while (statement->nextResult());
    } catch (...) {
        drop(m_qryCurve, statement); // never run again half read
        throw;
    }
    if (statement->error().isValid())
        return failed(failureText(statement->error()));
    nextSelect();
    if (part != parts.size())
        return failed(QStringLiteral("The statements returned fewer result sets than they select"));
    result.ok = true;
    return result;
}

QStringList TData1::selectEach(const QString &sql, const QVariantList &values,
                        const std::function<bool(const RowView &)> &onRow)
{
    Statement *statement = exec(m_qryCurve, sql, values);
    if (!statement)
        throwFailure(m_lastError);
    RowView row;
    row.m_statement = statement;
    const QList<ColumnInfo> columns = statement->columns();
    if (columns.isEmpty()) {
        statement->close(true);
        throw Error(QStringLiteral("The statement returned no result set"));
    }
    for (const ColumnInfo &column : columns)
        row.m_columns.append(column.name);
    bool more = true;
    try {
        while (more && statement->next())
            more = onRow(row);
    } catch (...) {
        drop(m_qryCurve, statement); // never run again half read
        throw;
    }
    if (!more) {
        if (!statement->close(false))
            drop(m_qryCurve, statement);
        return row.m_columns;
    }
    const QSqlError fetchError = statement->error();
    if (fetchError.isValid()) {
        drop(m_qryCurve, statement);
        throwFailure(fetchError);
    }
    return row.m_columns;
}

QList<ColumnInfo> TData1::describeTable(const QString &table)
{
    Statement *statement = exec(m_qryCurve, sql::emptySelect(table), {});
    if (!statement)
        throwFailure(m_lastError);
    const QList<ColumnInfo> columns = statement->columns();
    if (!statement->close(true))
        drop(m_qryCurve, statement);
    return columns;
}

QStringList TData1::columnsOf(const QString &table)
{
    QStringList names;
    for (const ColumnInfo &column : describeTable(table))
        names.append(column.name);
    return names;
}

void TData1::execDirect(const QString &sql)
{
    finishAll();
    QSqlError failure;
    if (!m_path->execDirect(sql, failure))
        throwFailure(failure); // a connection found lost is opened again by the next job
}

void TData1::tidyUp(const QString &sql)
{
    try {
        execDirect(sql);
    } catch (const Error &) {
    }
}

Dialect TData1::dialect() const { return m_path->dialect(); }

QString TData1::pathName() const { return m_path->name(); }

qint64 TData1::pathExecutions() const { return m_path->executions(); }

} // namespace chongma
