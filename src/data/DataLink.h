#pragma once

#include "data/Secrets.h"

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace chongma {

// A connection described by an OLE DB data link file (disk.udl), mapped onto Qt Sql.
struct DataLink {
    enum class Kind {
        SqlServer, // SQLOLEDB / SQLNCLI* / MSOLEDBSQL* / no provider: SQL Server through QODBC
        Odbc,      // MSDASQL: an ODBC connection from "Extended Properties", through QODBC
        Sqlite,    // "SQLite": a SQLite file, through QSQLITE
    };

    Kind kind = Kind::SqlServer;
    QString provider;   // as written in the file
    QString dataSource; // as written: server, or file for SQLite
    QString catalog;    // Initial Catalog
    // SqlServer: the login's user. Odbc: empty, as the login is in odbcConnection.
    QString userId;
    QString password;   // the OLE DB one, used to log in; never printed or logged
    // Every password the init string holds (the OLE DB ones and those inside Extended
    // Properties), each also as written when quoting or escapes changed it.
    Secrets secrets;
    bool integratedSecurity = false;
    int connectTimeout = 15; // seconds, 0 = wait as long as the driver does
    int commandTimeout = 30; // seconds a statement may run, 0 = no limit

    // QODBC: the driver used (SqlServer) and the full ODBC connection string, which may hold the
    // password (so never print it; use describe()).
    QString odbcDriver;
    QString odbcConnection;
    // QSQLITE: absolute path of the database file, which exists.
    QString sqliteFile;

    // Every key=value of the init string, keys lower-cased, values unquoted.
    QMap<QString, QString> properties;

    QString qtDriver() const; // "QODBC" or "QSQLITE"
    // One line naming the kind, server or file and database; never the password.
    QString describe() const;
    // `text` with `password` and every secret masked as Secrets::maskText does. For driver
    // messages.
    QString redact(const QString &text) const;
};

// Decodes a data link file's bytes: UTF-16LE with BOM (as Windows writes it), UTF-8 with or
// without BOM, else code page 936.
QString decodeDataLinkBytes(const QByteArray &bytes);

// Parses the text of a data link; `baseDir` resolves a relative SQLite file. Throws
// ConnectionError with a reason naming the fault (never the password).
DataLink parseDataLink(const QString &text, const QString &baseDir,
                       const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// Reads and parses the data link file at `path`; throws ConnectionError as parseDataLink does,
// also for a missing, unreadable or empty file.
DataLink readDataLink(const QString &path,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// Environment variable naming the ODBC driver for SQL Server data links.
inline constexpr const char *kOdbcDriverVariable = "CHONGMA_ODBC_DRIVER";

// The application name SQL Server connections give, shown in the server's activity views.
inline constexpr const char *kApplicationName = "chongma";

// The ODBC drivers installed, as the driver manager lists them (SQLDrivers).
QStringList installedOdbcDrivers();

// The newest of Microsoft's ODBC drivers for SQL Server among `installed`, else "SQL Server"
// (the one Windows always has). The default on Windows.
QString preferredSqlServerDriver(const QStringList &installed);

} // namespace chongma
