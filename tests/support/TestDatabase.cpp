#include "support/TestDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace chongma::test {

namespace {

QString pgAttributes() { return qEnvironmentVariable("CHONGMA_TEST_PG"); }
QString mssqlKeys() { return qEnvironmentVariable("CHONGMA_TEST_MSSQL"); }

// The SQL Server test link for `database`, as a data link names it.
DataLink mssqlLink(const QString &database)
{
    return parseDataLink(QStringLiteral("[oledb]\nProvider=SQLOLEDB.1;%1;Initial Catalog=%2").arg(mssqlKeys(), database),
                         QString());
}

QString pgDriverString(const QString &database)
{
    return QStringLiteral("Driver={PostgreSQL Unicode};%1;Database=%2;").arg(pgAttributes(), database);
}

QString nextConnectionName()
{
    static int counter = 0;
    return QStringLiteral("test-%1").arg(++counter);
}

void failOn(const QSqlQuery &q, const QString &sql)
{
    QFAIL(qPrintable(QStringLiteral("%1\n  -> %2").arg(sql, q.lastError().text())));
}

QString perProcessDatabase()
{
    static QString name;
    if (!name.isEmpty())
        return name;
    const QString candidate = QStringLiteral("t_%1_%2")
                                  .arg(QCoreApplication::applicationName().toLower())
                                  .arg(QCoreApplication::applicationPid());
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("pg-admin"));
        admin.setDatabaseName(pgDriverString(QStringLiteral("postgres")));
        if (!admin.open())
            qFatal("cannot reach the PostgreSQL test server: %s", qPrintable(admin.lastError().text()));
        QSqlQuery q(admin);
        q.exec(QStringLiteral("drop database if exists %1").arg(candidate));
        if (!q.exec(QStringLiteral("create database %1 encoding 'UTF8'").arg(candidate)))
            qFatal("cannot create the test database: %s", qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("pg-admin"));
    name = candidate;
    return name;
}

} // namespace

void addBackendRows()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    if (!pgAttributes().isEmpty())
        QTest::newRow("postgres") << QStringLiteral("postgres");
    else
        qWarning("CHONGMA_TEST_PG is not set: PostgreSQL rows are skipped");
    if (!mssqlKeys().isEmpty())
        QTest::newRow("mssql") << QStringLiteral("mssql");
}

QString postgresConnectionString()
{
    return pgAttributes().isEmpty() ? QString() : pgDriverString(perProcessDatabase());
}

void writeDataLink(const QString &path, const QString &initString)
{
    const QString text = QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n")
                         + initString + QStringLiteral("\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        bytes.append(char(u & 0xFF));
        bytes.append(char(u >> 8));
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

ScratchDatabase::ScratchDatabase(const QString &backend)
    : m_server(backend == QLatin1String("postgres") ? Server::Postgres
               : backend == QLatin1String("mssql")  ? Server::SqlServer
                                                    : Server::Sqlite),
      m_connection(nextConnectionName())
{
    if (m_server == Server::SqlServer) {
        // A database of its own for every instance, made from master and dropped with it.
        static int instances = 0;
        m_database = QStringLiteral("t_%1_%2_%3")
                         .arg(QCoreApplication::applicationName().toLower())
                         .arg(QCoreApplication::applicationPid())
                         .arg(++instances);
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("mssql-admin"));
            admin.setDatabaseName(mssqlLink(QStringLiteral("master")).odbcConnection);
            if (!admin.open())
                qFatal("cannot reach the SQL Server test server: %s", qPrintable(admin.lastError().text()));
            QSqlQuery q(admin);
            if (!q.exec(QStringLiteral("create database %1").arg(m_database)))
                qFatal("cannot create the test database: %s", qPrintable(q.lastError().text()));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("mssql-admin"));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connection);
        db.setDatabaseName(mssqlLink(m_database).odbcConnection);
        if (!db.open())
            qFatal("cannot open the SQL Server test database: %s", qPrintable(db.lastError().text()));
        m_initString = QStringLiteral("Provider=SQLOLEDB.1;%1;Initial Catalog=%2").arg(mssqlKeys(), m_database);
    } else if (m_server == Server::Postgres) {
        const QString conn = postgresConnectionString();
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connection);
        db.setDatabaseName(conn);
        if (!db.open())
            qFatal("cannot open the PostgreSQL test database: %s", qPrintable(db.lastError().text()));
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("drop schema public cascade")) || !q.exec(QStringLiteral("create schema public")))
            qFatal("cannot empty the PostgreSQL test database: %s", qPrintable(q.lastError().text()));
        m_initString = QStringLiteral("Provider=MSDASQL.1;Persist Security Info=False;Extended Properties=\"%1\"").arg(conn);
    } else {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_dir.filePath(QStringLiteral("test.db")));
        if (!db.open())
            qFatal("cannot create a SQLite test database: %s", qPrintable(db.lastError().text()));
        m_initString = QStringLiteral("Provider=SQLite;Data Source=test.db");
    }
    writeDataLink(udlPath(), m_initString);
}

ScratchDatabase::~ScratchDatabase()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    if (m_server == Server::SqlServer) {
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("mssql-admin"));
            admin.setDatabaseName(mssqlLink(QStringLiteral("master")).odbcConnection);
            if (admin.open()) {
                QSqlQuery q(admin);
                q.exec(QStringLiteral("alter database %1 set single_user with rollback immediate").arg(m_database));
                q.exec(QStringLiteral("drop database %1").arg(m_database));
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("mssql-admin"));
    }
}

QString ScratchDatabase::pick(const QString &sqlite, const QString &postgres, const QString &sqlServer) const
{
    switch (m_server) {
    case Server::Postgres:
        return postgres;
    case Server::SqlServer:
        return sqlServer;
    case Server::Sqlite:
        break;
    }
    return sqlite;
}

void ScratchDatabase::exec(const QString &sql, const QVariantList &values)
{
    QSqlQuery q(db());
    if (!q.prepare(sql))
        failOn(q, sql);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        failOn(q, sql);
}

QList<QVariantList> ScratchDatabase::rows(const QString &sql, const QVariantList &values)
{
    QList<QVariantList> result;
    QSqlQuery q(db());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        failOn(q, sql);
        return result;
    }
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec()) {
        failOn(q, sql);
        return result;
    }
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < q.record().count(); ++i)
            row.append(q.value(i));
        result.append(row);
    }
    return result;
}

DataLink ScratchDatabase::link() const
{
    if (m_server == Server::SqlServer)
        return mssqlLink(m_database);
    DataLink link;
    if (m_server == Server::Postgres) {
        link.kind = DataLink::Kind::Odbc;
        link.odbcConnection = postgresConnectionString();
    } else {
        link.kind = DataLink::Kind::Sqlite;
        link.sqliteFile = m_dir.filePath(QStringLiteral("test.db"));
    }
    return link;
}

void ScratchDatabase::createMaterials(const QString &codeType)
{
    exec(
        QStringLiteral("create table BD_Material (BD_MCode %1, BD_MNo varchar(30), BD_MName varchar(158), "
                       "BD_MPRICE varchar(50) check (BD_MPRICE <> 'bad'), Pur_SupName varchar(48), BD_MPUBDATE varchar(50))")
            .arg(codeType));
}

void ScratchDatabase::insertFillerMaterials(int rows)
{
    for (int from = 0; from < rows; from += 100) {
        QStringList values;
        for (int i = from; i < qMin(rows, from + 100); ++i)
            values << QStringLiteral("('F%1')").arg(i);
        exec(QStringLiteral("insert into BD_Material (BD_MCode) values ") + values.join(u','));
    }
}

int ScratchDatabase::materialCount()
{
    const auto result = rows(QStringLiteral("select count(*) from BD_Material"));
    return result.isEmpty() ? -1 : result.first().first().toInt();
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void ScratchDatabase::createDiskinfo()
{
    exec(QStringLiteral("create table diskinfo (DiskID integer, DiskNum integer, Bar varchar(100))"));
}

void ScratchDatabase::insertDisk(const QVariant &id, const QVariant &num, const QVariant &bar)
{
    exec(QStringLiteral("insert into diskinfo (DiskID, DiskNum, Bar) values (?, ?, ?)"), {id, num, bar});
}

} // namespace chongma::test

namespace chongma::test {

void ScratchDatabase::insertDuplicatePairs(int pairs)
{
    if (m_server == Server::SqlServer) { // one statement rather than a round trip a row
        exec(QStringLiteral("with n as (select top (?) row_number() over (order by (select null)) as i "
                            "from sys.all_objects a cross join sys.all_objects b) "
                            "insert into diskinfo (DiskID, DiskNum, Bar) select i, (i + 1) % 2, "
                            "'D' + right('000000' + cast((i + 1) / 2 as varchar(10)), 6) from n"),
             {2 * pairs});
        return;
    }
    if (m_server == Server::Postgres) { // one statement rather than a round trip a row
        exec(QStringLiteral("insert into diskinfo (DiskID, DiskNum, Bar) select n, (n + 1) % 2, "
                            "'D' || lpad(((n + 1) / 2)::text, 6, '0') from generate_series(1, ?) as g(n)"),
             {2 * pairs});
        return;
    }
    QSqlDatabase database = db();
    database.transaction();
    QSqlQuery q(database);
    q.prepare(QStringLiteral("insert into diskinfo (DiskID, DiskNum, Bar) values (?, ?, ?)"));
    for (int n = 1; n <= pairs; ++n) {
        for (int k = 0; k < 2; ++k) {
            q.bindValue(0, 2 * n - 1 + k);
            q.bindValue(1, k);
            q.bindValue(2, QStringLiteral("D%1").arg(n, 6, 10, QLatin1Char('0')));
            if (!q.exec())
                qFatal("cannot insert: %s", qPrintable(q.lastError().text()));
        }
    }
    database.commit();
}

void ScratchDatabase::slowDownDeletes()
{
    if (m_server == Server::SqlServer) {
        // No sleep a row there: a millisecond of waiting for each row deleted.
        exec(QStringLiteral("create trigger slow on diskinfo after delete as begin "
                            "declare @until datetime2 = dateadd(millisecond, (select count(*) from deleted), sysdatetime()); "
                            "while sysdatetime() < @until set @until = @until; end"));
        return;
    }
    if (m_server == Server::Postgres) {
        exec(QStringLiteral("create function slow_delete() returns trigger language plpgsql as $$ "
                            "begin perform pg_sleep(0.001); return old; end $$"));
        exec(QStringLiteral("create trigger slow before delete on diskinfo for each row execute function slow_delete()"));
    } else {
        // SQLite has no sleep: a counted recursion takes its place.
        exec(QStringLiteral("create trigger slow before delete on diskinfo begin "
                            "select count(*) from (with recursive c(x) as (select 1 union all select x + 1 from c "
                            "where x < 5000) select x from c); end"));
    }
}

} // namespace chongma::test

namespace chongma::test {

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
#ifdef Q_OS_UNIX
    if (bytes < 0)
        return;
    std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the process
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    m_previous = limit.rlim_cur;
    limit.rlim_cur = rlim_t(bytes);
    m_set = setrlimit(RLIMIT_FSIZE, &limit) == 0;
#else
    Q_UNUSED(bytes);
#endif
}

FileSizeLimit::~FileSizeLimit()
{
#ifdef Q_OS_UNIX
    if (!m_set)
        return;
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = rlim_t(m_previous);
    setrlimit(RLIMIT_FSIZE, &limit);
#endif
}

} // namespace chongma::test
