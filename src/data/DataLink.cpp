#include "data/DataLink.h"

#include "data/Error.h"
#include "data/OdbcString.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringDecoder>

#include <optional>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace chongma {

namespace {

// A data link is a few hundred bytes; anything far larger is some other file.
constexpr qint64 kMaxDataLinkBytes = 1024 * 1024;

struct Pair {
    QString key;
    QString value;
};

// Splits an OLE DB init string into key=value pairs. Values may be quoted with " or ' (a doubled
// quote stands for one) so that they can hold ';'. Error texts name keys, never values.
// One pass over the quoting rules, clearer whole than split.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
QList<Pair> splitInitString(const QString &s)
{
    QList<Pair> pairs;
    QString lastKey;
    const qsizetype n = s.size();
    qsizetype i = 0;
    while (i < n) {
        while (i < n && s[i].isSpace())
            ++i;
        if (i >= n)
            break;
        if (s[i] == u';') {
            ++i;
            continue;
        }
        const qsizetype eq = s.indexOf(u'=', i);
        const qsizetype semi = s.indexOf(u';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            throw ConnectionError(
                lastKey.isEmpty()
                    ? QStringLiteral("the init string starts with an entry that has no '='")
                    : QStringLiteral("the init string has an entry without '=' after \"%1\"")
                          .arg(lastKey));
        }
        const QString key = s.mid(i, eq - i).simplified();
        if (key.isEmpty())
            throw ConnectionError(QStringLiteral("the init string has an entry with no key"));
        i = eq + 1;
        while (i < n && s[i].isSpace())
            ++i;
        QString value;
        if (i < n && (s[i] == u'"' || s[i] == u'\'')) {
            const QChar quote = s[i++];
            bool closed = false;
            while (i < n) {
                if (s[i] == quote) {
                    if (i + 1 < n && s[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += s[i++];
            }
            if (!closed) {
                throw ConnectionError(
                    QStringLiteral("the quoted value of \"%1\" has no closing quote").arg(key));
            }
            while (i < n && s[i].isSpace())
                ++i;
            if (i < n && s[i] != u';') {
                throw ConnectionError(
                    QStringLiteral("unexpected text after the quoted value of \"%1\"").arg(key));
            }
            ++i;
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            value = s.mid(i, end - i).trimmed();
            i = end + 1;
        }
        pairs.append({key, value});
        lastKey = key;
    }
    return pairs;
}

QString stripBraces(const QString &value)
{
    const QString v = value.trimmed();
    if (v.size() >= 2 && v.front() == u'{' && v.back() == u'}')
        return v.mid(1, v.size() - 2).replace(QStringLiteral("}}"), QStringLiteral("}"));
    return v;
}

bool isFreeTds(const QString &driver)
{
    // Debian's driver library is libtdsodbc.so, which a path in the variable may name.
    return driver.contains(u"freetds", Qt::CaseInsensitive)
        || driver.contains(u"tdsodbc", Qt::CaseInsensitive);
}

bool isYes(const QString &value)
{
    return value.compare(u"yes", Qt::CaseInsensitive) == 0
        || value.compare(u"true", Qt::CaseInsensitive) == 0;
}

// What differs between the platforms: Windows has Microsoft's drivers, Debian registers FreeTDS.
QString defaultSqlServerDriver()
{
#ifdef Q_OS_WIN
    return preferredSqlServerDriver(installedOdbcDrivers());
#else
    return QStringLiteral("FreeTDS");
#endif
}

struct ServerAddress {
    QString host;
    QString instance;
    QString port;
};

// host, host\instance, host,port or tcp:host,port (as SQL Server clients accept them).
ServerAddress parseServer(const QString &dataSource, const Secrets &secrets)
{
    const QString shown = secrets.maskValue(dataSource);
    QString s = dataSource.trimmed();
    if (s.startsWith(u"tcp:", Qt::CaseInsensitive))
        s = s.mid(4).trimmed();
    ServerAddress a;
    const qsizetype comma = s.lastIndexOf(u',');
    if (comma >= 0) {
        a.port = s.mid(comma + 1).trimmed();
        bool ok = false;
        const int port = a.port.toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            throw ConnectionError(
                QStringLiteral("Data Source \"%1\" has a bad port number").arg(shown));
        }
        a.port = QString::number(port);
        s = s.left(comma).trimmed();
    }
    const qsizetype slash = s.indexOf(u'\\');
    if (slash >= 0) {
        a.instance = s.mid(slash + 1).trimmed();
        s = s.left(slash).trimmed();
        if (a.instance.isEmpty() || a.instance.contains(u'\\')) {
            throw ConnectionError(
                QStringLiteral("Data Source \"%1\" has a bad instance name").arg(shown));
        }
    }
    if (s.isEmpty())
        throw ConnectionError(QStringLiteral("Data Source \"%1\" names no server").arg(shown));
    a.host = s;
    return a;
}

class Properties {
public:
    explicit Properties(const QMap<QString, QString> &map) : m_map(map) {}
    // The value of the first of `keys` present (keys lower-case).
    QString value(std::initializer_list<const char *> keys) const
    {
        for (const char *key : keys) {
            const auto it = m_map.constFind(QString::fromLatin1(key));
            if (it != m_map.constEnd())
                return it.value();
        }
        return {};
    }
    bool has(const char *key) const { return m_map.contains(QString::fromLatin1(key)); }

private:
    const QMap<QString, QString> &m_map;
};

// A time-out key: whole seconds, 0 or more; `seconds` keeps its default when the key is absent.
void readSeconds(const Properties &p, const Secrets &secrets, const char *key, const char *name,
                 int &seconds)
{
    if (!p.has(key))
        return;
    const QString value = p.value({key});
    bool ok = false;
    const int read = value.toInt(&ok);
    if (!ok || read < 0) {
        throw ConnectionError(QStringLiteral("%1 \"%2\" is not a number of seconds (0 or more)")
                                  .arg(QLatin1String(name), secrets.maskValue(value)));
    }
    seconds = read;
}

// A True/False key (yes/no also, as ODBC writes them); nothing when the key is absent.
std::optional<bool> readTrueFalse(const Properties &p, const Secrets &secrets, const char *key,
                                  const char *name)
{
    if (!p.has(key))
        return std::nullopt;
    const QString value = p.value({key}).trimmed();
    if (isYes(value))
        return true;
    if (value.compare(u"false", Qt::CaseInsensitive) == 0
        || value.compare(u"no", Qt::CaseInsensitive) == 0)
        return false;
    throw ConnectionError(QStringLiteral("%1 \"%2\" is neither True nor False")
                              .arg(QLatin1String(name), secrets.maskValue(value)));
}

void mapSqlServer(DataLink &link, const Properties &p, const QProcessEnvironment &env)
{
    link.dataSource = p.value({"data source", "server"});
    if (link.dataSource.trimmed().isEmpty())
        throw ConnectionError(QStringLiteral("no Data Source (the SQL Server to connect to)"));
    ServerAddress address = parseServer(link.dataSource, link.secrets);
    link.catalog = p.value({"initial catalog", "database"});

    const QString integrated = p.value({"integrated security"});
    link.integratedSecurity = integrated.compare(u"sspi", Qt::CaseInsensitive) == 0
        || isYes(integrated) || isYes(p.value({"trusted_connection"}));

    link.odbcDriver = stripBraces(p.value({"driver"}));
    if (link.odbcDriver.isEmpty())
        link.odbcDriver = env.value(QString::fromLatin1(kOdbcDriverVariable)).trimmed();
    if (link.odbcDriver.isEmpty())
        link.odbcDriver = defaultSqlServerDriver();
    const bool freeTds = isFreeTds(link.odbcDriver);
    const OdbcBraces braces = freeTds ? OdbcBraces::FreeTds : OdbcBraces::Doubled;

    // FreeTDS has no "(local)" or "." shorthand for this machine.
    if (freeTds
        && (address.host == u"." || address.host.compare(u"(local)", Qt::CaseInsensitive) == 0))
        address.host = QStringLiteral("localhost");

    QString server = address.host;
    QString port;
    if (freeTds) {
        if (!address.instance.isEmpty())
            server += u'\\' + address.instance;
        port = address.port;
    } else if (!address.port.isEmpty()) {
        // As with every SQL Server client, a given port wins over the instance name.
        server += u',' + address.port;
    } else if (!address.instance.isEmpty()) {
        server += u'\\' + address.instance;
    }

    // Every attribute ends with ';': FreeTDS misreads a last one without it.
    QString conn = QStringLiteral("Driver=%1;Server=%2;")
                       .arg(bracedOdbc(link.odbcDriver),
                            odbcValue(server, braces, QStringLiteral("Data Source")));
    if (!port.isEmpty())
        conn += QStringLiteral("Port=%1;").arg(port);
    if (!link.catalog.isEmpty()) {
        conn += QStringLiteral("Database=%1;")
                    .arg(odbcValue(link.catalog, braces, QStringLiteral("Initial Catalog")));
    }
    if (link.integratedSecurity) {
        conn += freeTds ? QStringLiteral("Trusted_Connection=Yes;")
                        : QStringLiteral("Trusted_Connection=yes;");
    } else {
        if (!link.userId.isEmpty()) {
            conn += QStringLiteral("UID=%1;")
                        .arg(odbcValue(link.userId, braces, QStringLiteral("User ID")));
        }
        if (!link.password.isEmpty()) {
            conn += QStringLiteral("PWD=%1;")
                        .arg(odbcValue(link.password, braces, QStringLiteral("the password")));
        }
    }
    conn += QStringLiteral("APP=%1;").arg(QLatin1String(kApplicationName));

    // As SQL Server's OLE DB providers name them; absent, each driver keeps its own default.
    const std::optional<bool> encrypt =
        readTrueFalse(p, link.secrets, "use encryption for data", "Use Encryption for Data");
    const std::optional<bool> trust =
        readTrueFalse(p, link.secrets, "trust server certificate", "Trust Server Certificate");
    if (freeTds) {
        // FreeTDS's "request" encrypts the login, as Microsoft's Encrypt=no does; its "off" would
        // send the password in the clear. It checks a certificate only when freetds.conf names a
        // "ca file", with no key to skip that: there is nothing to map Trust Server Certificate to.
        if (encrypt) {
            conn += *encrypt ? QStringLiteral("Encryption=require;")
                             : QStringLiteral("Encryption=request;");
        }
        conn += QStringLiteral("TDS_Version=7.4;ClientCharset=UTF-8;");
    } else {
        if (encrypt)
            conn += *encrypt ? QStringLiteral("Encrypt=yes;") : QStringLiteral("Encrypt=no;");
        if (trust) {
            conn += *trust ? QStringLiteral("TrustServerCertificate=yes;")
                           : QStringLiteral("TrustServerCertificate=no;");
        }
    }
    link.odbcConnection = conn;
}

void mapOdbc(DataLink &link, const Properties &p)
{
    link.dataSource = p.value({"data source"});
    link.catalog = p.value({"initial catalog"});
    QString conn = p.value({"extended properties"}).trimmed();
    // "Use data source name" links carry only the DSN, as Data Source.
    if (conn.isEmpty() && !link.dataSource.trimmed().isEmpty()) {
        conn = QStringLiteral("DSN=%1;").arg(odbcValue(
            link.dataSource.trimmed(), OdbcBraces::Doubled, QStringLiteral("Data Source")));
    }
    if (conn.isEmpty()) {
        throw ConnectionError(QStringLiteral(
            "provider %1 needs Extended Properties (the ODBC connection, e.g. DSN=...)")
                                  .arg(link.secrets.maskValue(link.provider)));
    }
    if (!conn.endsWith(u';'))
        conn += u';';
    for (const OdbcAttribute &a : odbcAttributes(conn, OdbcBraces::Doubled)) {
        if (a.key.compare(u"driver", Qt::CaseInsensitive) == 0)
            link.odbcDriver = a.value.trimmed();
    }
    // The login given beside Extended Properties goes into the string, quoted: handed to Qt
    // (6.4) apart, it is appended unquoted, and a ';' cuts the password short. It wins over one
    // inside, as it did when appended.
    const OdbcBraces braces =
        isFreeTds(link.odbcDriver) ? OdbcBraces::FreeTds : OdbcBraces::Doubled;
    if (!link.userId.isEmpty()) {
        conn = withoutOdbcAttributes(conn, {QStringLiteral("uid")}, braces);
        conn += QStringLiteral("UID=%1;")
                    .arg(odbcValue(link.userId, braces, QStringLiteral("User ID")));
        link.userId.clear();
    }
    if (!link.password.isEmpty()) {
        conn = withoutOdbcAttributes(conn, {QStringLiteral("pwd"), QStringLiteral("password")},
                                     braces);
        conn += QStringLiteral("PWD=%1;")
                    .arg(odbcValue(link.password, braces, QStringLiteral("the password")));
    }
    link.odbcConnection = conn;
}

void mapSqlite(DataLink &link, const Properties &p, const QString &baseDir)
{
    link.dataSource = p.value({"data source"});
    // Not trimmed: blanks that survive the init string were quoted on purpose.
    const QString file = QDir::fromNativeSeparators(link.dataSource);
    if (file.trimmed().isEmpty())
        throw ConnectionError(QStringLiteral("no Data Source (the SQLite database file)"));
    const QString path =
        QDir::cleanPath(QFileInfo(file).isAbsolute() ? file : QDir(baseDir).absoluteFilePath(file));
    const QFileInfo info(path);
    // Opening a missing file would create an empty database and hide the mistake.
    if (!info.exists()) {
        throw ConnectionError(QStringLiteral("SQLite database file %1 does not exist")
                                  .arg(link.secrets.maskValue(QDir::toNativeSeparators(path))));
    }
    if (!info.isFile()) {
        throw ConnectionError(QStringLiteral("SQLite database %1 is not a regular file")
                                  .arg(link.secrets.maskValue(QDir::toNativeSeparators(path))));
    }
    link.sqliteFile = path;
}

// The data link's passwords with the one it logs in with, which a link built in code may hold
// alone.
Secrets knownSecrets(const DataLink &link)
{
    Secrets all = link.secrets;
    all.add(link.password);
    return all;
}

} // namespace

QString DataLink::qtDriver() const
{
    return kind == Kind::Sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QODBC");
}

QString DataLink::describe() const
{
    const Secrets all = knownSecrets(*this);
    QString line;
    switch (kind) {
    case Kind::SqlServer: {
        line = QStringLiteral("SQL Server via ODBC driver %1: server %2, ")
                   .arg(all.maskValue(odbcDriver), all.maskValue(dataSource.trimmed()));
        line += catalog.isEmpty() ? QStringLiteral("default database")
                                  : QStringLiteral("database %1").arg(all.maskValue(catalog));
        if (integratedSecurity) {
#ifdef Q_OS_WIN
            line += QStringLiteral(", integrated security");
#else
            line += QStringLiteral(
                ", integrated security (on Linux this needs Kerberos: a valid ticket, see kinit)");
#endif
        } else if (!userId.isEmpty()) {
            line += QStringLiteral(", user %1").arg(all.maskValue(userId));
        } else {
            line += QStringLiteral(", no user name");
        }
        break;
    }
    case Kind::Odbc:
        line = QStringLiteral("ODBC: %1").arg(all.maskOdbc(odbcConnection));
        if (!userId.isEmpty())
            line += QStringLiteral(" (user %1)").arg(all.maskValue(userId));
        break;
    case Kind::Sqlite:
        line = QStringLiteral("SQLite: file %1")
                   .arg(all.maskValue(QDir::toNativeSeparators(sqliteFile)));
        break;
    }
    return line;
}

QString DataLink::redact(const QString &text) const { return knownSecrets(*this).maskText(text); }

QStringList installedOdbcDrivers()
{
    QStringList names;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return names;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    constexpr SQLSMALLINT kNameChars = 256;
    SQLWCHAR name[kNameChars] = {};
    SQLWCHAR attributes[2] = {}; // not read; some driver managers want a buffer
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        const SQLRETURN rc = SQLDriversW(env, direction, name, kNameChars, &nameLength,
                                         attributes, 2, &attributesLength);
        if (!SQL_SUCCEEDED(rc))
            break;
        const SQLSMALLINT chars = qBound(SQLSMALLINT(0), nameLength, SQLSMALLINT(kNameChars - 1));
        names << QString::fromUtf16(reinterpret_cast<const char16_t *>(name), chars);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

QString preferredSqlServerDriver(const QStringList &installed)
{
    // Newest first; 18 encrypts by default, which the README tells how to meet.
    for (const char *name : {"ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server"}) {
        for (const QString &driver : installed) {
            if (driver.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return driver;
        }
    }
    return QStringLiteral("SQL Server");
}

QString decodeDataLinkBytes(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringConverter::Utf16LE).decode(bytes.mid(2));
    if (bytes.startsWith("\xFE\xFF"))
        return QStringDecoder(QStringConverter::Utf16BE).decode(bytes.mid(2));
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    // UTF-16LE that lost its BOM: "[oledb]" gives a NUL after the first byte.
    if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0')
        return QStringDecoder(QStringConverter::Utf16LE).decode(bytes);

    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    QStringDecoder gbk("GBK");
    if (gbk.isValid())
        return gbk.decode(bytes);
    return QString::fromLocal8Bit(bytes);
}

DataLink parseDataLink(const QString &text, const QString &baseDir,
                       const QProcessEnvironment &env)
{
    QString normalized = text;
    if (normalized.startsWith(QChar(0xFEFF)))
        normalized.remove(0, 1);
    normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');

    bool sawOledb = false;
    bool inOledb = false;
    QString initString;
    for (const QString &raw : normalized.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            inOledb = line.mid(1, line.size() - 2).trimmed().compare(u"oledb", Qt::CaseInsensitive)
                == 0;
            sawOledb = sawOledb || inOledb;
            continue;
        }
        if (!inOledb)
            continue;
        // Windows writes exactly one; guessing which of two is meant could pick the wrong server.
        if (!initString.isEmpty())
            throw ConnectionError(QStringLiteral("more than one init string after [oledb]"));
        initString = line;
    }
    if (!sawOledb)
        throw ConnectionError(QStringLiteral("not a data link: no [oledb] line"));
    if (initString.isEmpty())
        throw ConnectionError(QStringLiteral("no init string after the [oledb] line"));

    DataLink link;
    for (const Pair &pair : splitInitString(initString)) {
        const QString key = pair.key.toLower();
        link.properties.insert(key, pair.value); // the last of a repeated key wins
        // Also from a repeated key: a value not used may still be a password someone typed.
        if (key == u"password" || key == u"pwd")
            link.secrets.add(pair.value);
        else if (key == u"extended properties")
            link.secrets.addFromOdbc(pair.value);
    }
    const Properties p(link.properties);
    link.password = p.value({"password", "pwd"});

    try {
        link.userId = p.value({"user id", "uid"});
        link.provider = p.value({"provider"}).trimmed();
        const QString provider = link.provider.toLower();
        if (provider.isEmpty() || provider.startsWith(u"sqloledb")
            || provider.startsWith(u"sqlncli") || provider.startsWith(u"msoledbsql")) {
            link.kind = DataLink::Kind::SqlServer;
        } else if (provider == u"msdasql" || provider.startsWith(u"msdasql.")) {
            link.kind = DataLink::Kind::Odbc;
        } else if (provider == u"sqlite") {
            link.kind = DataLink::Kind::Sqlite;
        } else {
            throw ConnectionError(
                QStringLiteral("unknown provider \"%1\" (known: SQLOLEDB, SQLNCLI, MSOLEDBSQL, "
                               "MSDASQL, SQLite)")
                    .arg(link.secrets.maskValue(link.provider)));
        }

        readSeconds(p, link.secrets, "connect timeout", "Connect Timeout", link.connectTimeout);
        readSeconds(p, link.secrets, "command timeout", "Command Timeout", link.commandTimeout);

        switch (link.kind) {
        case DataLink::Kind::SqlServer:
            mapSqlServer(link, p, env);
            break;
        case DataLink::Kind::Odbc:
            mapOdbc(link, p);
            break;
        case DataLink::Kind::Sqlite:
            mapSqlite(link, p, baseDir);
            break;
        }
    } catch (const ConnectionError &e) {
        // Values are masked where a reason quotes them; this catches a long password inside one.
        throw ConnectionError(link.redact(e.message()));
    }
    return link;
}

DataLink readDataLink(const QString &path, const QProcessEnvironment &env)
{
    const QFileInfo info(path);
    const QString shown = QDir::toNativeSeparators(info.absoluteFilePath());
    if (!info.exists())
        throw ConnectionError(QStringLiteral("Data link file %1 does not exist").arg(shown));
    if (info.isDir()) {
        throw ConnectionError(
            QStringLiteral("Data link %1 is a folder, not a file").arg(shown));
    }
    if (!info.isFile()) {
        throw ConnectionError(
            QStringLiteral("Data link %1 is not a regular file").arg(shown));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw ConnectionError(
            QStringLiteral("Cannot read data link file %1: %2").arg(shown, file.errorString()));
    }
    const QByteArray bytes = file.read(kMaxDataLinkBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        throw ConnectionError(
            QStringLiteral("Cannot read data link file %1: %2").arg(shown, file.errorString()));
    }
    if (bytes.size() > kMaxDataLinkBytes) {
        throw ConnectionError(
            QStringLiteral("Data link file %1 is too large to be a data link").arg(shown));
    }
    const QString text = decodeDataLinkBytes(bytes);
    if (QString(text).remove(QChar(0xFEFF)).trimmed().isEmpty())
        throw ConnectionError(QStringLiteral("Data link file %1 is empty").arg(shown));
    try {
        return parseDataLink(text, info.absolutePath(), env);
    } catch (const ConnectionError &e) {
        throw ConnectionError(QStringLiteral("Data link file %1: %2").arg(shown, e.message()));
    }
}

} // namespace chongma
