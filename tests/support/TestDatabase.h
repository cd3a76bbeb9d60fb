#pragma once

#include "data/DataLink.h"

#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>

namespace chongma::test {

// Rows of a global "backend" column: "sqlite" always, "postgres" when CHONGMA_TEST_PG holds the
// ODBC attributes of a PostgreSQL test server (scripts/with-test-postgres.sh sets it), "mssql"
// when CHONGMA_TEST_MSSQL holds a SQL Server's data link keys, reached through FreeTDS or
// Microsoft's driver ("Data Source=host,port;User ID=sa;Password=...";
// scripts/with-test-mssql.sh sets it). Call from initTestCase_data(); read with
// QFETCH_GLOBAL(QString, backend).
void addBackendRows();

// Writes a data link file as Windows does: UTF-16LE with BOM, CR LF line ends.
void writeDataLink(const QString &path, const QString &initString);

// An empty database of one backend and a data link file (disk.udl) describing it.
// SQLite: a new file in a temporary folder. PostgreSQL: one database per test process,
// emptied (schema public recreated) for every instance, reached through psqlODBC.
class ScratchDatabase {
public:
    explicit ScratchDatabase(const QString &backend);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase &) = delete;
    ScratchDatabase &operator=(const ScratchDatabase &) = delete;

    bool isPostgres() const { return m_server == Server::Postgres; }
    bool isSqlServer() const { return m_server == Server::SqlServer; }
    bool isSqlite() const { return m_server == Server::Sqlite; }
    // The statement of this backend's server, where they differ.
    QString pick(const QString &sqlite, const QString &postgres, const QString &sqlServer) const;
    QString dir() const { return m_dir.path(); }
    QString udlPath() const { return m_dir.filePath(QStringLiteral("disk.udl")); }
    QString initString() const { return m_initString; }

    // Statements on a connection of the test's own (autocommit); fail the test on error.
    void exec(const QString &sql, const QVariantList &values = {});
    QList<QVariantList> rows(const QString &sql, const QVariantList &values = {});
    QSqlDatabase db() const { return QSqlDatabase::database(m_connection); }

    // The data link of this database, built directly (not read from the file).
    DataLink link() const;

    // The conventional barcode table, with nullable columns so tests can store NULLs.
    void createDiskinfo();
    // The material table; a price of 'bad' is refused, so a test can make one insert fail.
    void createMaterials(const QString &codeType = QStringLiteral("varchar(20)"));
    int materialCount();
    // `rows` materials of codes "F0", "F1", ... and nothing else.
    void insertFillerMaterials(int rows);
    void insertDisk(const QVariant &id, const QVariant &num, const QVariant &bar);
    // `pairs` duplicated barcodes "D<n>", two rows each (ids 2n-1 and 2n, the second picked).
    void insertDuplicatePairs(int pairs);
    // Makes every deleted diskinfo row cost some milliseconds, so a removal runs long enough
    // to be cancelled halfway.
    void slowDownDeletes();

private:
    enum class Server { Sqlite, Postgres, SqlServer };
    QTemporaryDir m_dir;
    Server m_server = Server::Sqlite;
    QString m_database; // SQL Server: the database of this instance, dropped with it
    QString m_connection;
    QString m_initString;
};

// For its lifetime, no file this process writes may grow past `bytes` (as on a full disk: the
// write fails, the process goes on); nothing when `bytes` is negative or where the system has no
// such limit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    bool m_set = false;
    quint64 m_previous = 0;
};

// Writes `bytes` to `path`, replacing it; fails the test process when it cannot.
QString writeFile(const QString &path, const QByteArray &bytes);

// The ODBC connection string of the per-process PostgreSQL test database ("" without a server).
QString postgresConnectionString();

} // namespace chongma::test
