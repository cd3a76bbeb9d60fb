#include "data/DataLink.h"
#include "data/Error.h"
#include "data/Secrets.h"
#include "data/Session.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <future>
#include <memory>
#include <optional>

using chongma::ConnectionError;
using chongma::DataLink;

namespace {

// Distinctive enough that finding it anywhere in a message means it leaked.
const QString kSecret = QStringLiteral("Zq7#pw-SECRET");

const QString kComment = QStringLiteral("; Everything after this line is an OLE DB initstring");

// The text Windows writes into a data link: CR LF line ends.
QString windowsText(const QString &initString)
{
    return QStringLiteral("[oledb]\r\n") + kComment + QStringLiteral("\r\n") + initString
        + QStringLiteral("\r\n");
}

QByteArray utf16Le(const QString &text, bool bom = true)
{
    QByteArray out;
    if (bom)
        out.append("\xFF\xFE", 2);
    for (const QChar c : text) {
        out.append(static_cast<char>(c.unicode() & 0xFF));
        out.append(static_cast<char>(c.unicode() >> 8));
    }
    return out;
}

QProcessEnvironment envWithDriver(const QString &driver)
{
    QProcessEnvironment env;
    if (!driver.isNull())
        env.insert(QString::fromLatin1(chongma::kOdbcDriverVariable), driver);
    return env;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Runs `read`; an error it throws fails the test (with its text) instead of ending the run.
template <typename Read>
std::optional<DataLink> noError(Read read)
{
    try {
        return read();
    } catch (const ConnectionError &e) {
        qWarning("unexpected ConnectionError: %s", qPrintable(e.message()));
        return std::nullopt;
    }
}

// The secret, or a run of three or more letters and digits out of it (a half-masked password
// shows its tail), appears in `text`.
bool leaks(const QString &text, const QString &secret)
{
    if (text.contains(secret))
        return true;
    static const QRegularExpression word(QStringLiteral("[A-Za-z0-9]{3,}"));
    for (const QRegularExpressionMatch &m : word.globalMatch(secret)) {
        if (text.contains(m.captured()))
            return true;
    }
    return false;
}

// What a TDS client sent a loopback listener that answers its PRELOGIN as a server without
// encryption and reads its LOGIN7: the login as a SQL Server would see it.
struct TdsLogin {
    int encryption = -1; // asked in PRELOGIN: 0 login only, 1 all, 2 none
    bool loggedIn = false;
    QString user;
    QString password;
    QString app;
    QString database;
};

// One TDS packet's payload, its type in `type`; empty when the client sent none in time.
QByteArray readTdsPacket(QTcpSocket &socket, int &type)
{
    QByteArray data;
    const auto need = [&](qsizetype n) {
        while (data.size() < n) {
            if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(10000))
                return false;
            data += socket.read(n - data.size());
        }
        return true;
    };
    if (!need(8))
        return {};
    type = quint8(data[0]);
    const qsizetype length = (quint8(data[2]) << 8) | quint8(data[3]);
    if (length < 8 || !need(length))
        return {};
    return data.mid(8);
}

// The UTF-16 field of a LOGIN7 whose offset and length sit at `at`.
QString loginField(const QByteArray &login, int at, bool password = false)
{
    const int offset = quint8(login[at]) | (quint8(login[at + 1]) << 8);
    const int chars = quint8(login[at + 2]) | (quint8(login[at + 3]) << 8);
    QByteArray bytes = login.mid(offset, 2 * chars);
    if (password) {
        // Sent with its nibbles swapped and each byte XORed with 0xA5.
        for (char &c : bytes) {
            const quint8 b = quint8(c) ^ 0xA5;
            c = char(((b << 4) & 0xF0) | (b >> 4));
        }
    }
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), chars);
}

TdsLogin acceptTdsLogin(QTcpServer &server)
{
    TdsLogin login;
    if (!server.waitForNewConnection(10000))
        return login;
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    int type = 0;
    const QByteArray prelogin = readTdsPacket(*socket, type);
    if (type != 0x12)
        return login;
    for (qsizetype i = 0; i + 4 < prelogin.size() && quint8(prelogin[i]) != 0xFF; i += 5) {
        const int offset = (quint8(prelogin[i + 1]) << 8) | quint8(prelogin[i + 2]);
        if (prelogin[i] == 1 && offset < prelogin.size())
            login.encryption = quint8(prelogin[offset]);
    }
    // VERSION and ENCRYPTION (2: not supported), then the terminator.
    const QByteArray answer =
        QByteArray::fromHex("00000b0006" "0100110001" "ff" "100000000000" "02");
    QByteArray packet = QByteArray::fromHex("0401");
    packet += char(0);
    packet += char(8 + answer.size());
    packet += QByteArray::fromHex("00000100") + answer;
    socket->write(packet);
    socket->waitForBytesWritten(10000);
    const QByteArray body = readTdsPacket(*socket, type);
    if (type != 0x10 || body.size() < 72)
        return login;
    login.loggedIn = true;
    login.user = loginField(body, 40);
    login.password = loginField(body, 44, true);
    login.app = loginField(body, 48);
    login.database = loginField(body, 68);
    return login;
}

QString defaultDriver()
{
#ifdef Q_OS_WIN
    return chongma::preferredSqlServerDriver(chongma::installedOdbcDrivers());
#else
    return QStringLiteral("FreeTDS");
#endif
}

} // namespace

class TestDataLink : public QObject {
    Q_OBJECT

private slots:
    void encodings_data();
    void encodings();
    void initString_data();
    void initString();
    void fileLayout_data();
    void fileLayout();
    void sqlServer_data();
    void sqlServer();
    void odbc_data();
    void odbc();
    void sqlite_data();
    void sqlite();
    void timeouts_data();
    void timeouts();
    void errors_data();
    void errors();
    void secrets_data();
    void secrets();
    void masking_data();
    void masking();
    void freeTdsLogin_data();
    void freeTdsLogin();
    void defaultSqlServerDriver_data();
    void defaultSqlServerDriver();
    void installedDrivers();
};

void TestDataLink::encodings_data()
{
    QTest::addColumn<QByteArray>("bytes");

    const QString init = QStringLiteral("Provider=SQLOLEDB.1;Password=") + kSecret
        + QStringLiteral(";Persist Security Info=True;User ID=sa;Initial Catalog=条码库;"
                         "Data Source=SRV01\\SQLEXPRESS");

    QTest::newRow("utf-16le with bom, crlf (as Windows writes it)") << utf16Le(windowsText(init));
    QTest::newRow("utf-16le with bom, lf") << utf16Le(windowsText(init).replace(u'\r', QString()));
    QTest::newRow("utf-16le without bom") << utf16Le(windowsText(init), false);
    QTest::newRow("utf-8 with bom") << QByteArray("\xEF\xBB\xBF") + windowsText(init).toUtf8();
    // Valid UTF-8 must not be read as GBK, which would garble the catalog.
    QTest::newRow("utf-8 without bom") << windowsText(init).toUtf8();
    // 条码库 in code page 936 is CC F5 C2 EB BF E2.
    QByteArray gbk = windowsText(init).toUtf8();
    gbk.replace(QStringLiteral("条码库").toUtf8(), QByteArray("\xCC\xF5\xC2\xEB\xBF\xE2"));
    QTest::newRow("code page 936") << gbk;
}

void TestDataLink::encodings()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("disk.udl"));
    writeFile(path, bytes);

    const std::optional<DataLink> link = noError(
        [&] { return chongma::readDataLink(path, envWithDriver(QStringLiteral("FreeTDS"))); });
    QVERIFY(link);
    QCOMPARE(link->catalog, QStringLiteral("条码库"));
    QCOMPARE(link->dataSource, QStringLiteral("SRV01\\SQLEXPRESS"));
    QCOMPARE(link->userId, QStringLiteral("sa"));
    QCOMPARE(link->password, kSecret);
    QCOMPARE(link->provider, QStringLiteral("SQLOLEDB.1"));
    QVERIFY2(link->odbcConnection.contains(QStringLiteral(";Database=条码库;")),
             qPrintable(link->redact(link->odbcConnection)));
}

void TestDataLink::initString_data()
{
    QTest::addColumn<QString>("init");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("double quotes around ;")
        << QStringLiteral("Data Source=h;Password=\"a;b\";User ID=sa") << "password" << "a;b";
    QTest::newRow("single quotes around ;")
        << QStringLiteral("Data Source=h;Password='a;b';User ID=sa") << "password" << "a;b";
    QTest::newRow("doubled double quote")
        << QStringLiteral("Data Source=h;Password=\"say \"\"hi\"\"\"") << "password"
        << "say \"hi\"";
    QTest::newRow("doubled single quote")
        << QStringLiteral("Data Source=h;Password='it''s';User ID=sa") << "password" << "it's";
    QTest::newRow("other quote kind inside")
        << QStringLiteral("Data Source=h;Password='a\"b'") << "password" << "a\"b";
    QTest::newRow("quoted value last, no ;")
        << QStringLiteral("Data Source=h;Password=\"x;y\"") << "password" << "x;y";
    QTest::newRow("blanks inside quotes kept")
        << QStringLiteral("Data Source=h;Password=\" p w \";User ID=sa") << "password"
        << " p w ";
    QTest::newRow("blanks around quoted value")
        << QStringLiteral("Data Source=h; Password =  'x'  ; User ID=sa") << "password" << "x";
    QTest::newRow("blanks around key and value")
        << QStringLiteral("Data Source=h;   User ID   =   sa   ;Password=p") << "user id" << "sa";
    QTest::newRow("key case")
        << QStringLiteral("DATA SOURCE=h;iNiTiAl CaTaLoG=db") << "initial catalog" << "db";
    QTest::newRow("empty pairs skipped")
        << QStringLiteral("Data Source=h;;; ;Initial Catalog=db;;") << "initial catalog" << "db";
    QTest::newRow("last of a repeated key")
        << QStringLiteral("Initial Catalog=a;Data Source=h;initial catalog=b") << "initial catalog"
        << "b";
    QTest::newRow("= inside a value")
        << QStringLiteral("Data Source=h;Password=a=b;User ID=sa") << "password" << "a=b";
    QTest::newRow("empty value")
        << QStringLiteral("Data Source=h;Password=;User ID=sa") << "password" << "";
    QTest::newRow("extended properties with quotes and braces")
        << QStringLiteral("Provider=MSDASQL.1;Extended Properties=\"Driver={PostgreSQL Unicode};"
                          "Server=127.0.0.1\"")
        << "extended properties" << "Driver={PostgreSQL Unicode};Server=127.0.0.1";
}

void TestDataLink::initString()
{
    QFETCH(QString, init);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    const std::optional<DataLink> link = noError([&] {
        return chongma::parseDataLink(windowsText(init), QDir::tempPath(),
                                      envWithDriver(QStringLiteral("FreeTDS")));
    });
    QVERIFY(link);
    QVERIFY2(link->properties.contains(key), qPrintable(link->properties.keys().join(u',')));
    QCOMPARE(link->properties.value(key), expected);
    if (key == u"password")
        QCOMPARE(link->password, expected);
    if (key == u"user id")
        QCOMPARE(link->userId, expected);
    if (key == u"initial catalog")
        QCOMPARE(link->catalog, expected);
}

void TestDataLink::fileLayout_data()
{
    QTest::addColumn<QString>("text");

    const QString init = QStringLiteral("Provider=SQLOLEDB.1;Initial Catalog=db;Data Source=h");
    QTest::newRow("as Windows writes it") << windowsText(init);
    QTest::newRow("upper-case section") << QStringLiteral("[OLEDB]\n") + init;
    QTest::newRow("blank and comment lines, indented")
        << QStringLiteral("\n\n  [oledb]  \n\n  ; a note\n;another\n\n   ") + init
            + QStringLiteral("   \n\n; trailing note\n");
    QTest::newRow("cr line ends") << QStringLiteral("[oledb]\r; note\r") + init + u'\r';
    QTest::newRow("another section before")
        << QStringLiteral("[other]\nfoo=bar\n[oledb]\n") + init;
    QTest::newRow("leading bom character") << QChar(0xFEFF) + windowsText(init);
}

void TestDataLink::fileLayout()
{
    QFETCH(QString, text);
    const std::optional<DataLink> link = noError([&] {
        return chongma::parseDataLink(text, QDir::tempPath(),
                                      envWithDriver(QStringLiteral("FreeTDS")));
    });
    QVERIFY(link);
    QCOMPARE(link->dataSource, QStringLiteral("h"));
    QCOMPARE(link->catalog, QStringLiteral("db"));
    QCOMPARE(link->kind, DataLink::Kind::SqlServer);
}

void TestDataLink::sqlServer_data()
{
    QTest::addColumn<QString>("init");
    QTest::addColumn<QString>("envDriver"); // null: variable not set
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<bool>("integrated");

    const QString freeTds = QStringLiteral("FreeTDS");
    const QString ms = QStringLiteral("ODBC Driver 18 for SQL Server");
    const QString tds = QStringLiteral("TDS_Version=7.4;ClientCharset=UTF-8;");
    const QString login = QStringLiteral(";Password=secret;Persist Security Info=True;User ID=sa;"
                                         "Initial Catalog=barcodes;Data Source=");
    const QString oledb = QStringLiteral("Provider=SQLOLEDB.1") + login;
    const QString userPart = QStringLiteral("Database=barcodes;UID=sa;PWD=secret;");
    const QString app = QStringLiteral("APP=chongma;");
    const QString userApp = userPart + app;

    QTest::newRow("FreeTDS: host")
        << oledb + QStringLiteral("SRV01") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds << false;
    QTest::newRow("FreeTDS: host\\instance")
        << oledb + QStringLiteral("SRV01\\SQLEXPRESS") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01\\SQLEXPRESS;") + userApp + tds << false;
    QTest::newRow("FreeTDS: host,port")
        << oledb + QStringLiteral("SRV01,1433") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;Port=1433;") + userApp + tds << false;
    QTest::newRow("FreeTDS: tcp:host,port")
        << oledb + QStringLiteral("tcp:10.0.0.5,14330") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=10.0.0.5;Port=14330;") + userApp + tds
        << false;
    QTest::newRow("FreeTDS: host\\instance,port")
        << oledb + QStringLiteral("SRV01\\SQLEXPRESS,1500") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01\\SQLEXPRESS;Port=1500;") + userApp + tds
        << false;
    QTest::newRow("FreeTDS: (local)")
        << oledb + QStringLiteral("(local)") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=localhost;") + userApp + tds << false;
    QTest::newRow("FreeTDS: .\\instance")
        << oledb + QStringLiteral(".\\SQLEXPRESS") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=localhost\\SQLEXPRESS;") + userApp + tds
        << false;

    QTest::newRow("Microsoft: host,port")
        << oledb + QStringLiteral("SRV01,1433") << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01,1433;") + userApp
        << false;
    QTest::newRow("Microsoft: host\\instance")
        << oledb + QStringLiteral("SRV01\\SQLEXPRESS") << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01\\SQLEXPRESS;")
            + userApp
        << false;
    QTest::newRow("Microsoft: tcp:host,port")
        << oledb + QStringLiteral("tcp:SRV01,1500") << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01,1500;") + userApp
        << false;
    QTest::newRow("Microsoft: (local) kept")
        << oledb + QStringLiteral("(local)") << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=(local);") + userApp
        << false;

    QTest::newRow("provider SQLNCLI11, Server and Database keys")
        << QStringLiteral("Provider=SQLNCLI11;Server=SRV01;Database=barcodes;User ID=sa;"
                          "Password=secret")
        << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds << false;
    QTest::newRow("provider msoledbsql19, lower case")
        << QStringLiteral("Provider=msoledbsql19") + login + QStringLiteral("SRV01") << freeTds
        << freeTds << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds << false;
    QTest::newRow("provider sqloledb")
        << QStringLiteral("Provider=sqloledb") + login + QStringLiteral("SRV01") << freeTds
        << freeTds << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds << false;
    QTest::newRow("no provider")
        << QStringLiteral("Data Source=SRV01;Initial Catalog=barcodes;User ID=sa;Password=secret")
        << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds << false;

    QTest::newRow("Driver key beats the variable")
        << oledb + QStringLiteral("SRV01,1433;Driver={ODBC Driver 17 for SQL Server}") << freeTds
        << QStringLiteral("ODBC Driver 17 for SQL Server")
        << QStringLiteral("Driver={ODBC Driver 17 for SQL Server};Server=SRV01,1433;") + userApp
        << false;
    QTest::newRow("Driver key without braces")
        << oledb + QStringLiteral("SRV01,1433;Driver=FreeTDS") << ms << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;Port=1433;") + userApp + tds << false;
    QTest::newRow("variable names the FreeTDS library")
        << oledb + QStringLiteral("SRV01,1433")
        << QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so")
        << QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so")
        << QStringLiteral("Driver={/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so};Server=SRV01;"
                          "Port=1433;")
            + userApp + tds
        << false;
#ifdef Q_OS_WIN
    const QString platformConnection =
        QStringLiteral("Driver={%1};Server=SRV01;").arg(defaultDriver()) + userApp;
#else
    const QString platformConnection =
        QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds;
#endif
    QTest::newRow("no variable: platform default")
        << oledb + QStringLiteral("SRV01") << QString() << defaultDriver() << platformConnection
        << false;
    QTest::newRow("blank variable: platform default")
        << oledb + QStringLiteral("SRV01") << QStringLiteral("  ") << defaultDriver()
        << platformConnection << false;

    const QString sspi = QStringLiteral("Provider=SQLOLEDB.1;Integrated Security=SSPI;"
                                        "Persist Security Info=False;Initial Catalog=barcodes;"
                                        "Data Source=SRV01");
    QTest::newRow("SSPI, FreeTDS")
        << sspi << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;Database=barcodes;"
                          "Trusted_Connection=Yes;")
            + app + tds
        << true;
    QTest::newRow("SSPI, Microsoft")
        << sspi << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01;"
                          "Database=barcodes;Trusted_Connection=yes;")
            + app
        << true;
    QTest::newRow("sspi lower case, user and password left out")
        << QStringLiteral("Integrated Security=sspi;User ID=sa;Password=secret;Data Source=SRV01")
        << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01;"
                          "Trusted_Connection=yes;")
            + app
        << true;
    QTest::newRow("Trusted_Connection=yes")
        << QStringLiteral("Provider=SQLOLEDB;Trusted_Connection=yes;Data Source=SRV01") << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01;"
                          "Trusted_Connection=yes;")
            + app
        << true;

    QTest::newRow("no catalog, no user")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + app + tds << false;
    // FreeTDS 1.3.17 ends a braced value at the first "};" and keeps a doubled '}' doubled.
    QTest::newRow("FreeTDS: values needing braces")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01;User ID='a;b';Password=\"p;w}d{\";"
                          "Initial Catalog=' bar codes '")
        << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;Database={ bar codes };UID={a;b};"
                          "PWD={p;w}d{};")
            + app + tds
        << false;
    QTest::newRow("FreeTDS: a brace alone stays bare")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01;User ID=sa;Password=p}w{")
        << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;UID=sa;PWD=p}w{;") + app + tds << false;
    QTest::newRow("FreeTDS: a leading quote or brace is braced")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01;User ID='\"sa';Password='{pw'")
        << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;UID={\"sa};PWD={{pw};") + app + tds
        << false;
    QTest::newRow("Microsoft: values needing braces, } doubled")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01;User ID='a;b';Password=\"p;w}d{\";"
                          "Initial Catalog=' bar codes '")
        << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01;"
                          "Database={ bar codes };UID={a;b};PWD={p;w}}d{};")
            + app
        << false;

    // Use Encryption for Data and Trust Server Certificate, as SQL Server's OLE DB providers
    // name them. FreeTDS's "request" encrypts the login, as Encrypt=no does; FreeTDS has no
    // switch for the certificate check.
    const QString host = oledb + QStringLiteral("SRV01");
    QTest::newRow("FreeTDS: encryption True")
        << host + QStringLiteral(";Use Encryption for Data=True") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp
            + QStringLiteral("Encryption=require;") + tds
        << false;
    QTest::newRow("FreeTDS: encryption False, certificate trusted")
        << host + QStringLiteral(";Use Encryption for Data=False;Trust Server Certificate=True")
        << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp
            + QStringLiteral("Encryption=request;") + tds
        << false;
    QTest::newRow("FreeTDS: certificate alone")
        << host + QStringLiteral(";Trust Server Certificate=False") << freeTds << freeTds
        << QStringLiteral("Driver={FreeTDS};Server=SRV01;") + userApp + tds << false;
    QTest::newRow("Microsoft: encrypted, certificate trusted")
        << host + QStringLiteral(";Use Encryption for Data=True;Trust Server Certificate=True")
        << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01;") + userApp
            + QStringLiteral("Encrypt=yes;TrustServerCertificate=yes;")
        << false;
    QTest::newRow("Microsoft: no and false, key case, blanks")
        << host + QStringLiteral("; use encryption for data = no ;TRUST SERVER CERTIFICATE='false'")
        << ms << ms
        << QStringLiteral("Driver={ODBC Driver 18 for SQL Server};Server=SRV01;") + userApp
            + QStringLiteral("Encrypt=no;TrustServerCertificate=no;")
        << false;
    QTest::newRow("Microsoft 17: yes, certificate alone")
        << host
            + QStringLiteral(";Trust Server Certificate=yes;Driver={ODBC Driver 17 for SQL Server}")
        << ms << QStringLiteral("ODBC Driver 17 for SQL Server")
        << QStringLiteral("Driver={ODBC Driver 17 for SQL Server};Server=SRV01;") + userApp
            + QStringLiteral("TrustServerCertificate=yes;")
        << false;
}

void TestDataLink::sqlServer()
{
    QFETCH(QString, init);
    QFETCH(QString, envDriver);
    QFETCH(QString, driver);
    QFETCH(QString, connection);
    QFETCH(bool, integrated);

    const std::optional<DataLink> link = noError([&] {
        return chongma::parseDataLink(windowsText(init), QDir::tempPath(),
                                      envWithDriver(envDriver));
    });
    QVERIFY(link);
    QCOMPARE(link->kind, DataLink::Kind::SqlServer);
    QCOMPARE(link->qtDriver(), QStringLiteral("QODBC"));
    QCOMPARE(link->odbcDriver, driver);
    QCOMPARE(link->odbcConnection, connection);
    QCOMPARE(link->integratedSecurity, integrated);
    if (!link->password.isEmpty())
        QVERIFY(!link->redact(link->odbcConnection).contains(link->password));
}

void TestDataLink::odbc_data()
{
    QTest::addColumn<QString>("init");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("description");

    // The login beside Extended Properties goes into the string: Qt would append it unquoted.
    QTest::newRow("DSN, login outside")
        << QStringLiteral("Provider=MSDASQL.1;Persist Security Info=False;User ID=sa;Password=")
            + kSecret + QStringLiteral(";Extended Properties=\"DSN=barcodes\"")
        << QStringLiteral("DSN=barcodes;UID=sa;PWD=") + kSecret + u';' << "" << ""
        << "ODBC: DSN=barcodes;UID=sa;PWD=***;";
    QTest::newRow("DSN as Data Source only")
        << QStringLiteral("Provider=MSDASQL.1;Persist Security Info=False;User ID=sa;Password=")
            + kSecret + QStringLiteral(";Data Source=barcodes")
        << QStringLiteral("DSN=barcodes;UID=sa;PWD=") + kSecret + u';' << "" << ""
        << "ODBC: DSN=barcodes;UID=sa;PWD=***;";
    QTest::newRow("quoted login outside, braced into the string, over the one inside")
        << QStringLiteral("Provider=MSDASQL.1;User ID='a;b';Password=\"p;w}d{ \"\"x\"\" \";"
                          "Extended Properties=\"DSN=barcodes;uid=old; PWD=old;Port=1\"")
        << QStringLiteral("DSN=barcodes;Port=1;UID={a;b};PWD={p;w}}d{ \"x\" };") << "" << ""
        << "ODBC: DSN=barcodes;Port=1;UID={a;b};PWD=***;";
    QTest::newRow("password outside only, user inside")
        << QStringLiteral("Provider=MSDASQL.1;Password='x;y';Extended Properties=\"DSN=barcodes;"
                          "UID=pg\"")
        << QStringLiteral("DSN=barcodes;UID=pg;PWD={x;y};") << "" << ""
        << "ODBC: DSN=barcodes;UID=pg;PWD=***;";
    QTest::newRow("whole driver string")
        << QStringLiteral("Provider=MSDASQL.1;Persist Security Info=False;Extended Properties=\""
                          "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=bc;"
                          "UID=pg;PWD=")
            + kSecret + QStringLiteral(";\"")
        << QStringLiteral("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=bc;"
                          "UID=pg;PWD=")
            + kSecret + u';'
        << "PostgreSQL Unicode" << ""
        << "ODBC: Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=bc;UID=pg;"
           "PWD=***;";
    QTest::newRow("braced Password attribute, provider lower case")
        << QStringLiteral("Provider=msdasql;Extended Properties='DRIVER={SQLite3};"
                          "password = {")
            + kSecret + QStringLiteral(";x}}y};Database=/tmp/a.db'")
        << QStringLiteral("DRIVER={SQLite3};password = {") + kSecret
            + QStringLiteral(";x}}y};Database=/tmp/a.db;")
        << "SQLite3" << ""
        << "ODBC: DRIVER={SQLite3};password = ***;Database=/tmp/a.db;";
    // Handed to the driver as written; the ';' and "Driver=" inside the quotes are the password's.
    QTest::newRow("quoted PWD with ; inside")
        << QStringLiteral("Provider=MSDASQL.1;Extended Properties='Driver={PostgreSQL Unicode};"
                          "PWD=\"a;Driver=b\";Server=h'")
        << QStringLiteral("Driver={PostgreSQL Unicode};PWD=\"a;Driver=b\";Server=h;")
        << "PostgreSQL Unicode" << ""
        << "ODBC: Driver={PostgreSQL Unicode};PWD=***;Server=h;";
    // "ab" is in "Database": masking it there showed "Dat***ase".
    QTest::newRow("short password inside, beside words holding it")
        << QStringLiteral("Provider=MSDASQL;Extended Properties=\"Driver={PostgreSQL Unicode};"
                          "Database=postgres;UID=u;PWD=ab\"")
        << QStringLiteral("Driver={PostgreSQL Unicode};Database=postgres;UID=u;PWD=ab;")
        << "PostgreSQL Unicode" << ""
        << "ODBC: Driver={PostgreSQL Unicode};Database=postgres;UID=u;PWD=***;";
    QTest::newRow("short password outside, a database named by it")
        << QStringLiteral("Provider=MSDASQL;User ID=u;Password=1;Extended Properties=\"DSN=x;"
                          "Database=1;Port=5431\"")
        << QStringLiteral("DSN=x;Database=1;Port=5431;UID=u;PWD=1;") << "" << ""
        << "ODBC: DSN=x;Database=***;Port=5431;UID=u;PWD=***;";
    QTest::newRow("FreeTDS in Extended Properties: its braces")
        << QStringLiteral("Provider=MSDASQL;User ID=u;Password=\"a;b}c\";Extended Properties="
                          "'Driver={FreeTDS};Server=h;Port=1433'")
        << QStringLiteral("Driver={FreeTDS};Server=h;Port=1433;UID=u;PWD={a;b}c};") << "FreeTDS"
        << "" << "ODBC: Driver={FreeTDS};Server=h;Port=1433;UID=u;PWD=***;";
    QTest::newRow("Password key outside and PWD inside")
        << QStringLiteral("Provider=MSDASQL;User ID=u;Password=") + kSecret
            + QStringLiteral(";Extended Properties=\"DSN=x;pwd=") + kSecret + u'"'
        << QStringLiteral("DSN=x;UID=u;PWD=") + kSecret + u';' << "" << ""
        << "ODBC: DSN=x;UID=u;PWD=***;";
}

void TestDataLink::odbc()
{
    QFETCH(QString, init);
    QFETCH(QString, connection);
    QFETCH(QString, driver);
    QFETCH(QString, user);
    QFETCH(QString, description);

    const std::optional<DataLink> link = noError([&] {
        return chongma::parseDataLink(windowsText(init), QDir::tempPath(),
                                      envWithDriver(QStringLiteral("FreeTDS")));
    });
    QVERIFY(link);
    QCOMPARE(link->kind, DataLink::Kind::Odbc);
    QCOMPARE(link->qtDriver(), QStringLiteral("QODBC"));
    QCOMPARE(link->odbcConnection, connection);
    QCOMPARE(link->odbcDriver, driver);
    QCOMPARE(link->userId, user);
    QCOMPARE(link->describe(), description);
    QVERIFY(!link->describe().contains(kSecret));
}

void TestDataLink::sqlite_data()
{
    QTest::addColumn<QString>("provider");
    QTest::addColumn<QString>("dataSource"); // %1: the temporary folder
    QTest::addColumn<QString>("expected");   // relative to the temporary folder

    // The data link sits in <tmp>/links, so relative names resolve there, not in the working
    // folder.
    QTest::newRow("beside the data link") << "SQLite" << "local.db" << "links/local.db";
    QTest::newRow("subfolder") << "SQLite" << "sub/inner.db" << "links/sub/inner.db";
    QTest::newRow("parent folder") << "sqlite" << "../demo.db" << "demo.db";
    QTest::newRow("cleaned") << "SQLITE" << "./sub/../../demo.db" << "demo.db";
    QTest::newRow("quoted with blanks") << "SQLite" << "' local.db'"
                                        << "links/ local.db";
    QTest::newRow("absolute") << "SQLite" << "%1/demo.db" << "demo.db";
    QTest::newRow("absolute, not clean") << "SQLite" << "%1/links/./sub//inner.db"
                                         << "links/sub/inner.db";
#ifdef Q_OS_WIN
    QTest::newRow("backslashes") << "SQLite" << "sub\\inner.db" << "links/sub/inner.db";
#endif
}

void TestDataLink::sqlite()
{
    QFETCH(QString, provider);
    QFETCH(QString, dataSource);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(root).mkpath(QStringLiteral("links/sub")));
    for (const char *name : {"demo.db", "links/local.db", "links/ local.db", "links/sub/inner.db"})
        writeFile(root + u'/' + QString::fromLatin1(name), QByteArray("SQLite format 3"));

    const QString udl = root + QStringLiteral("/links/disk.udl");
    writeFile(udl,
              utf16Le(windowsText(QStringLiteral("Provider=%1;Data Source=%2")
                                      .arg(provider, QString(dataSource).replace(
                                                         QStringLiteral("%1"), root)))));
    const std::optional<DataLink> link = noError(
        [&] { return chongma::readDataLink(udl, envWithDriver(QString())); });
    QVERIFY(link);
    const QString file = root + u'/' + expected;
    QCOMPARE(link->kind, DataLink::Kind::Sqlite);
    QCOMPARE(link->qtDriver(), QStringLiteral("QSQLITE"));
    QCOMPARE(link->sqliteFile, file);
    QCOMPARE(link->describe(), QStringLiteral("SQLite: file ") + QDir::toNativeSeparators(file));
}

void TestDataLink::timeouts_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("connect");
    QTest::addColumn<int>("command");

    QTest::newRow("not given: 15 and 30") << "" << 15 << 30;
    QTest::newRow("connect") << ";Connect Timeout=30" << 30 << 30;
    QTest::newRow("connect zero: no limit") << ";Connect Timeout=0" << 0 << 30;
    QTest::newRow("connect, blanks and key case") << "; CONNECT timeout =  45 " << 45 << 30;
    QTest::newRow("connect quoted") << ";Connect Timeout='20'" << 20 << 30;
    QTest::newRow("command") << ";Command Timeout=120" << 15 << 120;
    QTest::newRow("command zero: no limit") << ";Command Timeout=0" << 15 << 0;
    QTest::newRow("both, command quoted, key case")
        << "; command TIMEOUT = \"600\";Connect Timeout=5" << 5 << 600;
}

void TestDataLink::timeouts()
{
    QFETCH(QString, suffix);
    QFETCH(int, connect);
    QFETCH(int, command);
    for (const QString &base : {QStringLiteral("Provider=SQLOLEDB;Data Source=h"),
                                QStringLiteral("Provider=MSDASQL;Extended Properties=DSN=x")}) {
        const std::optional<DataLink> link = noError([&] {
            return chongma::parseDataLink(windowsText(base + suffix), QDir::tempPath(),
                                          envWithDriver(QStringLiteral("FreeTDS")));
        });
        QVERIFY(link);
        QCOMPARE(link->connectTimeout, connect);
        QCOMPARE(link->commandTimeout, command);
    }
}

void TestDataLink::errors_data()
{
    QTest::addColumn<QString>("setup"); // "file", "missing", "folder" or "unreadable"
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // must appear in the message

    const QString pw = QStringLiteral(";Password=") + kSecret;
    const auto udl = [](const QString &init) { return utf16Le(windowsText(init)); };
    const QString sql = QStringLiteral("Provider=SQLOLEDB.1") + pw
        + QStringLiteral(";User ID=sa;Initial Catalog=barcodes;Data Source=");

    QTest::newRow("missing file") << "missing" << QByteArray() << "does not exist";
    QTest::newRow("a folder") << "folder" << QByteArray() << "folder";
    QTest::newRow("no read permission") << "unreadable" << udl(sql + u'h') << "Cannot read";
    QTest::newRow("empty file") << "file" << QByteArray() << "empty";
    QTest::newRow("only a bom") << "file" << QByteArray("\xFF\xFE") << "empty";
    QTest::newRow("only blank lines") << "file" << QByteArray("\r\n \r\n\t\n") << "empty";
    QTest::newRow("no [oledb] line") << "file" << utf16Le(sql + u'h') << "no [oledb]";
    QTest::newRow("another section only")
        << "file" << QByteArray("[data]\r\n") + (sql + u'h').toUtf8() << "no [oledb]";
    QTest::newRow("init string before [oledb]")
        << "file" << (sql + QStringLiteral("h\r\n[oledb]\r\n") + kComment).toUtf8()
        << "no init string";
    QTest::newRow("no init string") << "file" << udl(QString()) << "no init string";
    QTest::newRow("two init strings")
        << "file" << udl(sql + QStringLiteral("a\r\n") + sql + u'b') << "more than one";
    QTest::newRow("unknown provider")
        << "file" << udl(QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb") + pw)
        << "Microsoft.Jet.OLEDB.4.0";
    QTest::newRow("provider is the password")
        << "file" << udl(QStringLiteral("Provider=") + kSecret + pw) << "unknown provider";
    QTest::newRow("SQL Server without Data Source")
        << "file" << udl(QStringLiteral("Provider=SQLOLEDB.1;Initial Catalog=b") + pw)
        << "Data Source";
    QTest::newRow("SQL Server with empty Data Source") << "file" << udl(sql) << "Data Source";
    QTest::newRow("Data Source without server") << "file" << udl(sql + QStringLiteral(",1433"))
                                                << "no server";
    QTest::newRow("port not a number") << "file" << udl(sql + QStringLiteral("h,abc")) << "port";
    QTest::newRow("port 0") << "file" << udl(sql + QStringLiteral("h,0")) << "port";
    QTest::newRow("port too large") << "file" << udl(sql + QStringLiteral("h,70000")) << "port";
    QTest::newRow("server is the password, bad port")
        << "file" << udl(sql + kSecret + QStringLiteral(",x")) << "port";
    QTest::newRow("empty instance") << "file" << udl(sql + QStringLiteral("h\\")) << "instance";
    QTest::newRow("SQLite without Data Source")
        << "file" << udl(QStringLiteral("Provider=SQLite") + pw) << "Data Source";
    QTest::newRow("SQLite file missing")
        << "file" << udl(QStringLiteral("Provider=SQLite;Data Source=missing.db") + pw)
        << "does not exist";
    QTest::newRow("SQLite file is a folder")
        << "file" << udl(QStringLiteral("Provider=SQLite;Data Source=.") + pw)
        << "not a regular file";
    QTest::newRow("MSDASQL with neither Extended Properties nor a DSN")
        << "file" << udl(QStringLiteral("Provider=MSDASQL.1;User ID=sa") + pw)
        << "Extended Properties";
    QTest::newRow("MSDASQL with empty Extended Properties")
        << "file" << udl(QStringLiteral("Provider=MSDASQL.1;Extended Properties=\"\"") + pw)
        << "Extended Properties";
    QTest::newRow("Connect Timeout not a number")
        << "file" << udl(sql + QStringLiteral("h;Connect Timeout=abc")) << "Connect Timeout";
    QTest::newRow("Connect Timeout negative")
        << "file" << udl(sql + QStringLiteral("h;Connect Timeout=-1")) << "Connect Timeout";
    QTest::newRow("Connect Timeout fraction")
        << "file" << udl(sql + QStringLiteral("h;Connect Timeout=1.5")) << "Connect Timeout";
    QTest::newRow("Connect Timeout empty")
        << "file" << udl(sql + QStringLiteral("h;Connect Timeout=")) << "Connect Timeout";
    QTest::newRow("Connect Timeout too large")
        << "file" << udl(sql + QStringLiteral("h;Connect Timeout=99999999999"))
        << "Connect Timeout";
    QTest::newRow("Command Timeout not a number")
        << "file" << udl(sql + QStringLiteral("h;Command Timeout=abc")) << "Command Timeout";
    QTest::newRow("Command Timeout negative")
        << "file" << udl(sql + QStringLiteral("h;Command Timeout=-5")) << "Command Timeout";
    QTest::newRow("Command Timeout too large")
        << "file" << udl(sql + QStringLiteral("h;Command Timeout=99999999999"))
        << "Command Timeout";
    QTest::newRow("unclosed quote")
        << "file" << udl(QStringLiteral("Provider=SQLOLEDB;Data Source=h;Password=\"") + kSecret)
        << "closing quote";
    QTest::newRow("text after a quoted value")
        << "file"
        << udl(QStringLiteral("Provider=SQLOLEDB;Data Source=h;Password='") + kSecret
               + QStringLiteral("'x;User ID=sa"))
        << "after the quoted value";
    QTest::newRow("Use Encryption for Data neither True nor False")
        << "file" << udl(sql + QStringLiteral("h;Use Encryption for Data=required"))
        << "Use Encryption for Data \"required\" is neither";
    QTest::newRow("Trust Server Certificate empty")
        << "file" << udl(sql + QStringLiteral("h;Trust Server Certificate="))
        << "Trust Server Certificate";
    QTest::newRow("the password as an encryption value")
        << "file" << udl(sql + QStringLiteral("h;Use Encryption for Data=") + kSecret)
        << "Use Encryption for Data \"***\"";
    QTest::newRow("a password FreeTDS cannot read")
        << "file"
        << udl(QStringLiteral("Provider=SQLOLEDB;Data Source=h;Password='") + kSecret
               + QStringLiteral("};x'"))
        << "FreeTDS cannot read";
    QTest::newRow("entry without =")
        << "file" << udl(QStringLiteral("Provider=SQLOLEDB;Data Source=h") + pw
                         + QStringLiteral(";junk;User ID=sa"))
        << "without '='";
}

void TestDataLink::errors()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("disk.udl"));
    if (setup == u"folder") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("disk.udl")));
    } else if (setup != u"missing") {
        writeFile(path, bytes);
    }
    if (setup == u"unreadable") {
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        QFile probe(path);
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("this user reads files without read permission (root?)");
    }

    QString message;
    try {
        const DataLink link =
            chongma::readDataLink(path, envWithDriver(QStringLiteral("FreeTDS")));
        QFAIL(qPrintable(QStringLiteral("no error; got: ") + link.describe()));
    } catch (const ConnectionError &e) {
        message = e.message();
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    QVERIFY2(message.contains(reason, Qt::CaseInsensitive), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral("disk.udl")), qPrintable(message));
    QVERIFY2(!message.contains(kSecret), qPrintable(message));
    QVERIFY2(!message.contains(u'\n'), qPrintable(message));
    // A missing SQLite file must stay missing: no empty database made on the way.
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing.db"))));
}

void TestDataLink::secrets_data()
{
    QTest::addColumn<QString>("init");
    QTest::addColumn<QString>("envDriver");
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QString>("description");

    // Every server refuses at once (port 1, a DSN that does not exist), so opening fails fast.
    const QString sql = QStringLiteral("Provider=SQLOLEDB.1;Data Source=127.0.0.1,1;User ID=sa;");
    const QString sqlSeen =
        QStringLiteral("SQL Server via ODBC driver FreeTDS: server 127.0.0.1,1, default database, "
                       "user sa");
    const QString dsn = QStringLiteral("Provider=MSDASQL.1;Extended Properties=");
    const QString pg = QStringLiteral("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;");
    const QString pgSeen = QStringLiteral("ODBC: ") + pg;

    QTest::newRow("SQL Server, Password")
        << sql + QStringLiteral("Password=Sq1Plain") << "FreeTDS" << "Sq1Plain" << sqlSeen;
    QTest::newRow("SQL Server, PWD in double quotes")
        << sql + QStringLiteral("PWD=\"Sq2;Tw2\"") << "FreeTDS" << "Sq2;Tw2" << sqlSeen;
    QTest::newRow("SQL Server, doubled single quote and a brace")
        << sql + QStringLiteral("Password='Sq3''}Tw3'") << "FreeTDS" << "Sq3'}Tw3" << sqlSeen;
    QTest::newRow("SQL Server, catalog holds the password")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=127.0.0.1,1;Initial Catalog=Sq4Cat;"
                          "Password=Sq4Cat")
        << "FreeTDS" << "Sq4Cat"
        << "SQL Server via ODBC driver FreeTDS: server 127.0.0.1,1, database ***, no user name";
    QTest::newRow("SQL Server, Microsoft driver")
        << QStringLiteral("Provider=MSOLEDBSQL;Data Source=tcp:127.0.0.1,1;Initial Catalog=条码库;"
                          "User ID=clerk;Password=Sq5Ms")
        << "ODBC Driver 18 for SQL Server" << "Sq5Ms"
        << "SQL Server via ODBC driver ODBC Driver 18 for SQL Server: server tcp:127.0.0.1,1, "
           "database 条码库, user clerk";
    QTest::newRow("MSDASQL, Password outside")
        << QStringLiteral("Provider=MSDASQL.1;User ID=u;Password=Od1Out;"
                          "Extended Properties=\"DSN=chongma-none\"")
        << "" << "Od1Out" << "ODBC: DSN=chongma-none;UID=u;PWD=***;";
    QTest::newRow("MSDASQL, pwd plain")
        << dsn + QStringLiteral("\"DSN=chongma-none;UID=u;pwd=Od2Plain\"") << "" << "Od2Plain"
        << "ODBC: DSN=chongma-none;UID=u;pwd=***;";
    QTest::newRow("MSDASQL, PWD in braces")
        << dsn + QStringLiteral("'DSN=chongma-none;PWD={Od3;Bx3}}Cy3}'") << "" << "Od3;Bx3}Cy3"
        << "ODBC: DSN=chongma-none;PWD=***;";
    QTest::newRow("MSDASQL, PWD in double quotes")
        << dsn + QStringLiteral("'DSN=chongma-none;UID=u;PWD=\"Zq9;Secret\"'") << ""
        << "Zq9;Secret" << "ODBC: DSN=chongma-none;UID=u;PWD=***;";
    QTest::newRow("MSDASQL, doubled double quote")
        << dsn + QStringLiteral("'DSN=chongma-none;PWD=\"Od5\"\"Bx5;Cy5\"'") << ""
        << "Od5\"Bx5;Cy5" << "ODBC: DSN=chongma-none;PWD=***;";
    QTest::newRow("MSDASQL, Password in single quotes, doubled")
        << dsn + QStringLiteral("\"DSN=chongma-none;PASSWORD='Od6''Bx6;Cy6'\"") << ""
        << "Od6'Bx6;Cy6" << "ODBC: DSN=chongma-none;PASSWORD=***;";
    QTest::newRow("psqlODBC pqopt")
        << dsn + u'\'' + pg + QStringLiteral("pqopt={password=Pq1Plain sslmode=disable}'") << ""
        << "Pq1Plain"
        << pgSeen + QStringLiteral("pqopt={password=*** sslmode=disable};");
    QTest::newRow("psqlODBC pqopt, quoted with escapes")
        << dsn + u'"' + pg + QStringLiteral("pqopt={sslmode=disable password = 'Pq2 \\'Bx8\\' Cy8'}\"")
        << ""
        << "Pq2 'Bx8' Cy8"
        << pgSeen + QStringLiteral("pqopt={sslmode=disable password = '***'};");
}

void TestDataLink::secrets()
{
    QFETCH(QString, init);
    QFETCH(QString, envDriver);
    QFETCH(QString, secret);
    QFETCH(QString, description);

    const std::optional<DataLink> link = noError([&] {
        return chongma::parseDataLink(windowsText(init), QDir::tempPath(),
                                      envWithDriver(envDriver));
    });
    QVERIFY(link);
    QCOMPARE(link->describe(), description);

    const QString driverSaid = QStringLiteral("[unixODBC] login failed for \"%1\" with password %2")
                                   .arg(link->odbcConnection, secret);
    const QString redacted = link->redact(driverSaid);
    QVERIFY2(!leaks(redacted, secret), qPrintable(redacted));
    QVERIFY2(redacted.startsWith(QStringLiteral("[unixODBC] login failed for \"")),
             qPrintable(redacted));

    QString openError;
    try {
        chongma::TData1 session(*link);
    } catch (const chongma::Error &e) {
        openError = e.message();
    }
    QVERIFY2(openError.startsWith(description), qPrintable(openError));
    QVERIFY2(!leaks(openError, secret), qPrintable(openError));
}

void TestDataLink::masking_data()
{
    QTest::addColumn<QStringList>("secrets");
    QTest::addColumn<QString>("as"); // "text", "odbc" or "value": which mask is asked
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("masked");

    const QString refused = QStringLiteral("[unixODBC] Unable to connect: database \"postgres\" "
                                           "at 127.0.0.1 port 1 is not available (error 1)");
    // Short passwords are found only where a password key stands: anywhere else their letters
    // are other words' letters, and a mask there would show them.
    QTest::newRow("ab inside words") << QStringList{"ab"} << "text" << refused << refused;
    QTest::newRow("a, also standing alone") << QStringList{"a"} << "text" << refused << refused;
    QTest::newRow("1, also standing alone") << QStringList{"1"} << "text" << refused << refused;
    QTest::newRow("at, also standing alone") << QStringList{"at"} << "text" << refused << refused;
    QTest::newRow("ab where PWD stands")
        << QStringList{"ab"} << "text"
        << "login failed for \"DSN=x;UID=u;PWD=ab;Database=postgres\" (table t)"
        << "login failed for \"DSN=x;UID=u;PWD=***;Database=postgres\" (table t)";
    QTest::newRow("at where the init string's Password stands, blanks around =")
        << QStringList{"at"} << "text" << "at 10:01; Password = at; User ID=sa"
        << "at 10:01; Password = ***; User ID=sa";
    QTest::newRow("1 quoted in an init string, ; inside")
        << QStringList{"1;1"} << "text" << "Data Source=h;password=\"1;1\";Port=1"
        << "Data Source=h;password=\"***\";Port=1";
    QTest::newRow("a braced, } doubled")
        << QStringList{"a}"} << "text" << "DSN=a;PWD={a}}};UID=a" << "DSN=a;PWD=***;UID=a";
    QTest::newRow("braced the FreeTDS way, a } alone inside")
        << QStringList{"a;b}c"} << "text" << "Driver={FreeTDS};PWD={a;b}c};UID=u"
        << "Driver={FreeTDS};PWD=***;UID=u";
    QTest::newRow("braced the FreeTDS way, in a connection string")
        << QStringList{"a;b}c"} << "odbc" << "Driver={FreeTDS};PWD={a;b}c};UID=u;"
        << "Driver={FreeTDS};PWD=***;UID=u;";
    QTest::newRow("ab in pqopt, in a connection string")
        << QStringList{"ab"} << "odbc"
        << "Driver={PostgreSQL Unicode};pqopt={password=ab sslmode=disable};Database=ab_db;"
        << "Driver={PostgreSQL Unicode};pqopt={password=*** sslmode=disable};Database=ab_db;";
    QTest::newRow("ab as a whole attribute value and as PWD")
        << QStringList{"ab"} << "odbc" << "DSN=abc;Database=ab;PWD=ab;"
        << "DSN=abc;Database=***;PWD=***;";
    QTest::newRow("a value that is the password") << QStringList{"ab"} << "value" << "ab" << "***";
    QTest::newRow("a value that is the password, blanks around")
        << QStringList{"1"} << "value" << " 1 " << "***";
    QTest::newRow("a value holding a short password") << QStringList{"ab"} << "value"
                                                      << "tab,1433" << "tab,1433";

    // Longer passwords mixing kinds of characters are searched for as whole tokens.
    QTest::newRow("long, echoed by a driver")
        << QStringList{kSecret} << "text" << "bad password " + kSecret + "." << "bad password ***.";
    QTest::newRow("mixed, five characters, as a token")
        << QStringList{"Sq5Ms"} << "text" << "user Sq5Ms; xSq5Msy" << "user ***; xSq5Msy";
    QTest::newRow("ends with a sign: a letter may follow")
        << QStringList{"pw-9!"} << "text" << "got pw-9!x" << "got ***x";
    QTest::newRow("as a driver doubles a quote or a brace")
        << QStringList{"Sq3'}Tw3"} << "text" << "said Sq3''}Tw3 and Sq3'}}Tw3"
        << "said *** and ***";
    QTest::newRow("longest first")
        << QStringList{"Ab12", "Ab12-Cd34"} << "text" << "got Ab12-Cd34, Ab12" << "got ***, ***";
    QTest::newRow("inside a value") << QStringList{kSecret} << "value" << kSecret + ",x" << "***,x";
    // A plain word or number is a message's own: masking "password" in "password
    // authentication failed" would tell it.
    QTest::newRow("a plain word is not searched")
        << QStringList{"password"} << "text" << "password authentication failed for user"
        << "password authentication failed for user";
    QTest::newRow("a plain number is not searched")
        << QStringList{"5432"} << "text" << "port 5432 refused" << "port 5432 refused";
}

void TestDataLink::masking()
{
    QFETCH(QStringList, secrets);
    QFETCH(QString, as);
    QFETCH(QString, text);
    QFETCH(QString, masked);

    chongma::Secrets known;
    for (const QString &secret : std::as_const(secrets))
        known.add(secret);
    const QString got = as == u"odbc" ? known.maskOdbc(text)
        : as == u"value"              ? known.maskValue(text)
                                      : known.maskText(text);
    QCOMPARE(got, masked);
}

void TestDataLink::freeTdsLogin_data()
{
    QTest::addColumn<QString>("login"); // the init string after Data Source=127.0.0.1,<port>
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("database");
    QTest::addColumn<int>("encryption");

    QTest::newRow("quoted values with ; } { ' \" and blanks")
        << QStringLiteral(";User ID='a;b';Password=\"p;w}d{ 'x'\"\"y \";"
                          "Initial Catalog=' bar codes '")
        << "a;b" << "p;w}d{ 'x'\"y " << " bar codes " << 0;
    QTest::newRow("a } alone, a leading {")
        << QStringLiteral(";User ID={sa;Password=p}w{;Initial Catalog=db}") << "{sa" << "p}w{"
        << "db}" << 0;
    // Not FreeTDS's "off" (2), which would send the login unencrypted.
    QTest::newRow("encryption False: the login is still encrypted")
        << QStringLiteral(";User ID=sa;Password=pw;Use Encryption for Data=False") << "sa" << "pw"
        << "" << 0;
    // This listener offers none, so FreeTDS goes no further.
    QTest::newRow("encryption True: all of it")
        << QStringLiteral(";User ID=sa;Password=pw;Use Encryption for Data=True") << "" << ""
        << "" << 1;
}

void TestDataLink::freeTdsLogin()
{
    QFETCH(QString, login);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, database);
    QFETCH(int, encryption);

    std::promise<quint16> listening;
    std::future<quint16> port = listening.get_future();
    TdsLogin sent;
    std::unique_ptr<QThread> listener(QThread::create([&] {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        listening.set_value(server.serverPort());
        sent = acceptTdsLogin(server);
    }));
    listener->start();
    const QString init =
        QStringLiteral("Provider=SQLOLEDB;Data Source=127.0.0.1,%1;Connect Timeout=5")
            .arg(port.get())
        + login;
    QString openError;
    try {
        const DataLink link = chongma::parseDataLink(windowsText(init), QDir::tempPath(),
                                                     envWithDriver(QStringLiteral("FreeTDS")));
        chongma::TData1 session(link);
    } catch (const chongma::Error &e) {
        openError = e.message();
    }
    QVERIFY(listener->wait(30000));
    QVERIFY2(sent.encryption >= 0, qPrintable(QStringLiteral("no PRELOGIN arrived: ") + openError));
    QCOMPARE(sent.encryption, encryption);
    QCOMPARE(sent.loggedIn, !user.isEmpty());
    if (!sent.loggedIn)
        return;
    QCOMPARE(sent.user, user);
    QCOMPARE(sent.password, password);
    QCOMPARE(sent.app, QStringLiteral("chongma"));
    QCOMPARE(sent.database, database);
}

void TestDataLink::defaultSqlServerDriver_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("chosen");

    const QString v18 = QStringLiteral("ODBC Driver 18 for SQL Server");
    const QString v17 = QStringLiteral("ODBC Driver 17 for SQL Server");
    QTest::newRow("none listed") << QStringList() << "SQL Server";
    QTest::newRow("only Windows' own") << QStringList{"SQL Server"} << "SQL Server";
    QTest::newRow("17 beside Windows' own") << QStringList{"SQL Server", v17} << v17;
    QTest::newRow("18 and 17, 17 listed first")
        << QStringList{v17, "SQL Server Native Client 11.0", v18, "SQL Server"} << v18;
    QTest::newRow("18 alone") << QStringList{v18} << v18;
    QTest::newRow("as the driver manager spells it")
        << QStringList{"odbc driver 17 for sql server"} << "odbc driver 17 for sql server";
    QTest::newRow("older and other drivers only")
        << QStringList{"ODBC Driver 13 for SQL Server", "FreeTDS", "PostgreSQL Unicode"}
        << "SQL Server";
}

void TestDataLink::defaultSqlServerDriver()
{
    QFETCH(QStringList, installed);
    QFETCH(QString, chosen);
    QCOMPARE(chongma::preferredSqlServerDriver(installed), chosen);
}

// The list as the driver manager gives it, against unixODBC's own tool reading the same
// odbcinst.ini. (The driver manager keeps the file's path from its first use, so a test cannot
// hand it another one.)
void TestDataLink::installedDrivers()
{
#ifdef Q_OS_WIN
    QSKIP("Windows lists the drivers from its registry; odbcinst is unixODBC's");
#else
    QProcess odbcinst;
    odbcinst.start(QStringLiteral("odbcinst"), {QStringLiteral("-q"), QStringLiteral("-d")});
    if (!odbcinst.waitForFinished(10000) || odbcinst.exitCode() != 0)
        QSKIP("unixODBC's odbcinst did not list the drivers");
    QStringList listed;
    for (const QString &line : QString::fromUtf8(odbcinst.readAllStandardOutput()).split(u'\n')) {
        if (line.startsWith(u'[') && line.endsWith(u']'))
            listed << line.mid(1, line.size() - 2);
    }
    QVERIFY2(!listed.isEmpty(), "no drivers installed (scripts/install-deps.sh installs some)");
    QCOMPARE(chongma::installedOdbcDrivers(), listed);
#endif
}

QTEST_GUILESS_MAIN(TestDataLink)
#include "tst_datalink.moc"
