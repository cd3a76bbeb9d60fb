// chongma-cli as scripts run it: a separate process, exit codes, stdout and stderr.
#include "text/CodePage.h"
#include "import/ImportRun.h"
#include "import/MaterialParser.h"
#include "import/SourceReader.h"
#include "support/TestDatabase.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using chongma::test::ScratchDatabase;

namespace {

struct Run {
    int code = -1;
    QString out;
    QString err;
};

// `lang`: the LANG the program runs under (the tests' own is C.UTF-8).
Run cli(const QStringList &args, const QString &lang = {})
{
    QProcess p;
    if (!lang.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LANG"), lang);
        p.setProcessEnvironment(env);
    }
    p.setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
    p.setArguments(args);
    p.setStandardInputFile(QProcess::nullDevice()); // no terminal, as under a scheduler
    p.start();
    if (!p.waitForFinished(60000)) {
        p.kill();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

QStringList lines(const QString &text) { return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

void fillDuplicates(ScratchDatabase &db)
{
    db.createDiskinfo();
    const QList<QVariantList> rows = {
        {1, 3, QStringLiteral("A")},    {2, 7, QStringLiteral("A")},
        {3, 1, QStringLiteral("条码甲")}, {4, 2, QStringLiteral("条码甲")},
        {5, 1, QStringLiteral("solo")},
        {QVariant(QMetaType::fromType<int>()), 1, QStringLiteral("N")},
        {QVariant(QMetaType::fromType<int>()), 2, QStringLiteral("N")},
    };
    for (const QVariantList &r : rows)
        db.insertDisk(r[0], r[1], r[2]);
}

// A source file mixing every outcome: new, present, rejected, the same new code twice, a quoted
// line, Chinese text.
QByteArray mixedSource()
{
    return chongma::toCodePage(QStringLiteral(
               "1001 M-1 5 12.50 [2008-04-18] 测试材料 [!] 某供应商\r\n"
               "2002 M-2 1 1.0 [x] already there [!] s\r\n"
               "3003 M-3 1.5 1 [x] bad integer [!] s\n"
               "\"4004\" M-4 $1F 7 [2020-01-01] quoted [!]\n"
               "1001 M-1 5 12.50 [2008-04-18] again [!] s\n"
               "   \n"
               "short\r"));
}

int rowCount(ScratchDatabase &db)
{
    return db.rows(QStringLiteral("select count(*) from diskinfo")).first().first().toInt();
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { chongma::test::addBackendRows(); }
    void initTestCase()
    {
        // The programs speak the locale's language: the texts below are the English ones.
        for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
            qunsetenv(name);
        qputenv("LANG", "C.UTF-8");
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("mentions");
        QTest::addColumn<QString>("lang");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--del-log" << QString();
        QTest::newRow("help, Chinese") << QStringList{"--help"} << 0 << "命令："
                                       << "zh_CN.UTF-8";
        QTest::newRow("no command, Chinese") << QStringList{} << 2 << "未给出命令"
                                             << "zh_CN.UTF-8";
        QTest::newRow("no command, English") << QStringList{} << 2 << "no command given"
                                             << "en_US.UTF-8";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "chongma-cli 0." << QString();
        QTest::newRow("no command") << QStringList{} << 2 << "no command" << QString();
        QTest::newRow("unknown command") << QStringList{"explode"} << 2 << "unknown command" << QString();
        QTest::newRow("unknown option") << QStringList{"find", "--frobnicate"} << 2 << "frobnicate" << QString();
        QTest::newRow("--udl without its file") << QStringList{"check", "--udl"} << 2 << "udl" << QString();
        QTest::newRow("option of another command") << QStringList{"find", "--yes"} << 2 << "does not apply" << QString();
        QTest::newRow("stray argument") << QStringList{"find", "extra"} << 2 << "arguments" << QString();
    }

    void usage()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, mentions);
        QFETCH(QString, lang);
        const Run r = cli(args, lang);
        QCOMPARE(r.code, code);
        QVERIFY2((r.out + r.err).contains(mentions), qPrintable(r.out + r.err));
        if (code == 2)
            QVERIFY(r.err.contains(lang.startsWith(u"zh") ? QStringLiteral("用法：") : QStringLiteral("Usage:")));
    }

    void check()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        const Run ok = cli({"--udl", db.udlPath(), "check"});
        QCOMPARE(ok.code, 0);
        QVERIFY2(ok.out.startsWith(QLatin1String("connected: ")), qPrintable(ok.out));
        const QStringList said = lines(ok.out);
        QVERIFY2(said.value(1).startsWith(QLatin1String("diskinfo: readable")), qPrintable(ok.out));
        QVERIFY2(said.value(2).startsWith(QLatin1String("BD_Material: cannot be read")), qPrintable(ok.out));
        QVERIFY(ok.out.contains(db.isSqlite() ? QLatin1String("SQLite") : QLatin1String("ODBC")));
        QVERIFY2(!ok.out.contains(QLatin1String("chongma-test")), "the password must not be printed");
    }

    // check says what will make a job slow or unsafe on this database, from its catalogue.
    void checkTellsWhatMakesAJobSlow_data()
    {
        QTest::addColumn<QString>("schema"); // "indexes", "numeric", "trigger" or nothing more
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QStringList>("notSaid");
        QTest::newRow("no indexes")
            << QString()
            << QStringList({"diskinfo.DiskID: ", "warning: diskinfo.DiskID has no index", "warning: diskinfo.Bar has no index",
                            "warning: BD_Material.BD_MCode has no index", "diskinfo: triggers: none"})
            << QStringList({"warning: diskinfo has triggers"});
        QTest::newRow("the indexes the jobs use")
            << "indexes" << QStringList({"diskinfo.Bar: ", "indexed"})
            << QStringList({"has no index", "warning: diskinfo has triggers", "holds numbers"});
        QTest::newRow("a numeric BD_MCode")
            << "numeric" << QStringList({"warning: BD_Material.BD_MCode holds numbers"}) << QStringList();
        QTest::newRow("a trigger on diskinfo")
            << "trigger" << QStringList({"diskinfo: triggers: keep_rows", "warning: diskinfo has triggers or rules (keep_rows)"})
            << QStringList();
    }

    void checkTellsWhatMakesAJobSlow()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, schema);
        QFETCH(QStringList, said);
        QFETCH(QStringList, notSaid);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.createMaterials(schema == QLatin1String("numeric") ? QStringLiteral("integer") : QStringLiteral("varchar(20)"));
        if (schema == QLatin1String("indexes")) {
            db.exec(QStringLiteral("create index i_id on diskinfo (DiskID)"));
            db.exec(QStringLiteral("create index i_bar on diskinfo (Bar)"));
            db.exec(QStringLiteral("create index i_code on BD_Material (BD_MCode)"));
        } else if (schema == QLatin1String("trigger")) {
            if (db.isPostgres()) {
                db.exec(QStringLiteral("create function keep() returns trigger language plpgsql as $$ begin return null; end $$"));
                db.exec(QStringLiteral("create trigger keep_rows before delete on diskinfo for each row execute function keep()"));
            } else if (db.isSqlServer()) {
                db.exec(QStringLiteral("create trigger keep_rows on diskinfo instead of delete as begin set nocount on; end"));
            } else {
                db.exec(QStringLiteral("create trigger keep_rows before delete on diskinfo begin select raise(ignore); end"));
            }
        }
        const Run r = cli({"--udl", db.udlPath(), "check"});
        QCOMPARE(r.code, 0);
        for (const QString &line : said)
            QVERIFY2(r.out.contains(line, Qt::CaseInsensitive), qPrintable(line + QStringLiteral(" in:\n") + r.out));
        for (const QString &line : notSaid)
            QVERIFY2(!r.out.contains(line, Qt::CaseInsensitive), qPrintable(line + QStringLiteral(" in:\n") + r.out));
    }

    // A login given beside Extended Properties, quoted as a data link quotes it, reaches the
    // server intact: the server refuses any other password.
    void checkLogsIn_data()
    {
        QTest::addColumn<QString>("password"); // the role's
        QTest::addColumn<QString>("login");    // as the data link writes it; %1: the role
        const QString odd = QStringLiteral("a;b}c 'd\"e f{");
        QTest::newRow("double quotes around ; } ' \" { and blanks")
            << odd << QStringLiteral("User ID=\"%1\";Password=\"a;b}c 'd\"\"e f{\"");
        QTest::newRow("single quotes") << odd << QStringLiteral("User ID=\"%1\";Password='a;b}c ''d\"e f{'");
        QTest::newRow("UID and PWD keys") << odd << QStringLiteral("UID=\"%1\";PWD=\"a;b}c 'd\"\"e f{\"");
        // "ab" is in "Database" and "readable", which the output keeps whole.
        QTest::newRow("short, bare") << QStringLiteral("ab") << QStringLiteral("User ID=\"%1\";Password=ab");
    }

    void checkLogsIn()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgres"))
            QSKIP("the login is checked by PostgreSQL");
        QFETCH(QString, password);
        QFETCH(QString, login);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        // Roles are the server's, not the database's: one named for this process, gone after.
        // psqlODBC takes a user name as written, braces and all, so it holds no ';'.
        const QString role = QStringLiteral("cm login'%1").arg(QCoreApplication::applicationPid());
        const QString quotedRole = QLatin1Char('"') + role + QLatin1Char('"');
        db.exec(QStringLiteral("create role %1 login password '%2'").arg(quotedRole, QString(password).replace(QLatin1Char('\''), QStringLiteral("''"))));
        db.exec(QStringLiteral("grant usage on schema public to %1").arg(quotedRole));
        db.exec(QStringLiteral("grant select on diskinfo to %1").arg(quotedRole));
        QString server = chongma::test::postgresConnectionString();
        server.remove(QRegularExpression(QStringLiteral("(Uid|Pwd)=[^;]*;"), QRegularExpression::CaseInsensitiveOption));
        const QString udl = db.dir() + QStringLiteral("/login.udl");
        chongma::test::writeDataLink(udl, QStringLiteral("Provider=MSDASQL.1;%1;Extended Properties=\"%2\"").arg(login.arg(role), server));
        const Run r = cli({"--udl", udl, "check"});
        db.exec(QStringLiteral("drop owned by %1").arg(quotedRole));
        db.exec(QStringLiteral("drop role %1").arg(quotedRole));

        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        const QStringList said = lines(r.out);
        QVERIFY2(said.value(0).startsWith(QLatin1String("connected: ODBC: Driver={PostgreSQL Unicode};")), qPrintable(r.out));
        QVERIFY2(said.value(0).contains(QLatin1String(";Database=t_")), qPrintable(r.out));
        QVERIFY2(said.value(0).endsWith(QLatin1String("PWD=***;")), qPrintable(r.out));
        QVERIFY2(said.value(1).startsWith(QLatin1String("diskinfo: readable")), qPrintable(r.out));
        if (password.size() > 2)
            QVERIFY2(!(r.out + r.err).contains(QLatin1String("a;b}c")), qPrintable(r.out + r.err));
    }

    void checkFailures_data()
    {
        QTest::addColumn<QString>("initString"); // empty: no file at all
        QTest::addColumn<QByteArray>("database"); // written as db.sqlite beside the data link
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing data link") << QString() << QByteArray() << "does not exist";
        QTest::newRow("SQL Server on a closed port")
            << QStringLiteral("Provider=SQLOLEDB.1;Password='Xy-91;Zq-77';User ID=sa;Data Source=127.0.0.1,%1;Connect Timeout=5")
            << QByteArray() << "127.0.0.1";
        QTest::newRow("quoted ODBC password with a semicolon")
            << QStringLiteral("Provider=MSDASQL.1;Extended Properties='DSN=nosuchdsn%1;UID=u;PWD=\"Xy-91;Zq-77\"'")
            << QByteArray() << "nosuchdsn";
        // "ab" is in "Database" and in "Unable": masking it there showed "Dat***ase".
        QTest::newRow("short password, words holding its letters")
            << QStringLiteral("Provider=MSDASQL.1;Extended Properties='DSN=nosuchdsn%1;Database=postgres;UID=u;PWD=ab'")
            << QByteArray() << "Database=postgres;UID=u;PWD=***;";
        QTest::newRow("a text file as the SQLite database")
            << QStringLiteral("Provider=SQLite;Data Source=db.sqlite") << QByteArray("just some text, no database\n")
            << "not a database";
        QTest::newRow("an empty file as the SQLite database")
            << QStringLiteral("Provider=SQLite;Data Source=db.sqlite") << QByteArray("") << "neither diskinfo nor BD_Material";
    }

    void checkFailures()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QString, initString);
        QFETCH(QByteArray, database);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString udl = dir.filePath(QStringLiteral("disk.udl"));
        if (!initString.isEmpty()) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            const quint16 port = probe.serverPort();
            probe.close();
            chongma::test::writeDataLink(udl, initString.contains(QLatin1String("%1")) ? initString.arg(port) : initString);
        }
        if (!database.isNull())
            chongma::test::writeFile(dir.filePath(QStringLiteral("db.sqlite")), database);
        const Run r = cli({"--udl", udl, "check"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(reason), qPrintable(r.err));
        for (const QString &part : {QStringLiteral("Xy-91"), QStringLiteral("Zq-77")})
            QVERIFY2(!(r.out + r.err).contains(part), qPrintable(r.out + r.err));
    }

    void findPrintsPicks()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fillDuplicates(db);
        const Run plain = cli({"--udl", db.udlPath(), "find"});
        QCOMPARE(plain.code, 0);
        QCOMPARE(lines(plain.out), QStringList({"A\t2", "N\t-", "条码甲\t4"}));
        QVERIFY2(plain.err.contains(QLatin1String("3 duplicated")), qPrintable(plain.err));

        const Run json = cli({"--udl", db.udlPath(), "find", "--json"});
        QCOMPARE(json.code, 0);
        QStringList parsed;
        for (const QString &line : lines(json.out)) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            QCOMPARE(error.error, QJsonParseError::NoError);
            const QJsonValue id = o.value(QStringLiteral("diskId"));
            parsed << o.value(QStringLiteral("barcode")).toString() + QLatin1Char('=')
                          + (id.isNull() ? o.value(QStringLiteral("reason")).toString() : QString::number(id.toInt()));
        }
        QCOMPARE(parsed, QStringList({"A=2", "N=DiskID is NULL", "条码甲=4"}));
        QCOMPARE(rowCount(db), 7); // finding deletes nothing
    }

    void clearWithoutTerminalDeletesNothing()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fillDuplicates(db);
        const QString delLog = db.dir() + QStringLiteral("/del.log");
        const Run r = cli({"--udl", db.udlPath(), "clear", "--del-log", delLog});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(QStringLiteral("2 个重码，确定清除重码吗？")), qPrintable(r.err));
        QCOMPARE(rowCount(db), 7);
        QVERIFY(!QFile::exists(delLog));
    }

    void clearYesDeletesAndWritesDelLog()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fillDuplicates(db);
        const QString delLog = db.dir() + QStringLiteral("/del.log");
        const QString backup = db.dir() + QStringLiteral("/saved/rows.csv");
        const Run r = cli({"--udl", db.udlPath(), "clear", "--yes", "--del-log", delLog, "--backup", backup});
        QCOMPARE(r.code, 0);
        QCOMPARE(lines(r.out), QStringList({"A", "N", "条码甲", "已备份:" + backup, "删除重码:2", "删除重码:4"}));
        QCOMPARE(rowCount(db), 5);
        QFile f(delLog);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("A\r\nN\r\n\xCC\xF5\xC2\xEB\xBC\xD7\r\n"));

        // The backup brings the rows back, once.
        const Run dry = cli({"--udl", db.udlPath(), "restore", backup, "--dry-run"});
        QCOMPARE(dry.out.trimmed(), QStringLiteral("would restore 2 rows, 0 already there"));
        QCOMPARE(rowCount(db), 5);
        const Run restored = cli({"--udl", db.udlPath(), "restore", backup});
        QCOMPARE(restored.code, 0);
        QCOMPARE(restored.out.trimmed(), QStringLiteral("restored 2 rows, 0 already there"));
        QCOMPARE(rowCount(db), 7);
        QCOMPARE(cli({"--udl", db.udlPath(), "restore", backup}).out.trimmed(), QStringLiteral("restored 0 rows, 2 already there"));
    }

    // Ctrl+C stops a removal at its next row: what was deleted is logged, del.log and the
    // backup are written, and the exit code says it was cancelled.
    // Stopped or killed mid-way: every row gone from the table has its log line.
    void clearStopsOnCtrlC_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("Ctrl+C") << int(SIGINT);
        QTest::newRow("kill -9") << int(SIGKILL);
    }

    void clearStopsOnCtrlC()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(int, signal);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDuplicatePairs(3500);
        db.slowDownDeletes();
        const QString delLog = db.dir() + QStringLiteral("/del.log");
        const QString backup = db.dir() + QStringLiteral("/b.csv");
        QProcess clear;
        clear.setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
        clear.setArguments({"--udl", db.udlPath(), "clear", "--yes", "--del-log", delLog, "--backup", backup});
        clear.start();
        QVERIFY(clear.waitForStarted());
        QString out;
        QVERIFY(QTest::qWaitFor([&] {
            out += QString::fromUtf8(clear.readAllStandardOutput());
            return out.contains(QStringLiteral("删除重码:"));
        }, 30000));
        ::kill(pid_t(clear.processId()), signal);
        QVERIFY(clear.waitForFinished(30000));
        out += QString::fromUtf8(clear.readAllStandardOutput());
        const QString err = QString::fromUtf8(clear.readAllStandardError());
        const int deleted = int(lines(out).filter(QStringLiteral("删除重码:")).size());
        QVERIFY2(deleted > 0 && deleted < 3500, qPrintable(out));
        // Killed between a batch's commit and the end of its lines, the output shows only part
        // of that batch; it never names a row still there.
        if (signal == SIGKILL)
            QVERIFY2(rowCount(db) <= 7000 - deleted, qPrintable(QString::number(rowCount(db))));
        else
            QCOMPARE(rowCount(db), 7000 - deleted);
        QFile log(delLog);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().count("\r\n"), 3500);
        QVERIFY(QFile::exists(backup));
        if (signal == SIGINT) {
            QCOMPARE(clear.exitCode(), 130);
            QVERIFY2(!err.contains(QLatin1String("deleting:")), qPrintable(err)); // no progress line off a terminal
        }
    }

    // Two removals at once: the second waits for the first's batches or gives up clearly, and
    // never calls a row refused that the first deleted.
    void twoClearsAtOnce()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDuplicatePairs(5000);
        db.slowDownDeletes();
        QProcess clears[2];
        QString out[2];
        for (int i = 0; i < 2; ++i) {
            clears[i].setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
            clears[i].setArguments({"--udl", db.udlPath(), "--timeout", "10", "clear", "--yes", "--del-log",
                                    db.dir() + QStringLiteral("/del%1.log").arg(i), "--backup",
                                    db.dir() + QStringLiteral("/b%1.csv").arg(i)});
            clears[i].start();
        }
        for (QProcess &clear : clears)
            QVERIFY(clear.waitForStarted());
        QSet<QString> deleted;
        for (int i = 0; i < 2; ++i) {
            QVERIFY(clears[i].waitForFinished(300000));
            out[i] += QString::fromUtf8(clears[i].readAllStandardOutput());
            const QString err = QString::fromUtf8(clears[i].readAllStandardError());
            // Done, or given up waiting for the other's lock, saying so.
            QVERIFY2(clears[i].exitCode() == 0 || (clears[i].exitCode() == 1 && err.contains(QLatin1String("locked"))),
                     qPrintable(err.right(2000)));
            QVERIFY2(!out[i].contains(QStringLiteral("重码未删除:")), qPrintable(out[i].right(2000)));
            for (const QString &line : lines(out[i]).filter(QStringLiteral("删除重码:"))) {
                QVERIFY2(!deleted.contains(line), qPrintable(line)); // deleted once, by one of them
                deleted.insert(line);
            }
        }
        QCOMPARE(deleted.size(), 5000);
        QCOMPARE(rowCount(db), 5000);
    }

    void clearSaysWhichRowsWereRefused()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("the refusal is the core's; one database shows the exit code");
        ScratchDatabase db(backend);
        fillDuplicates(db);
        db.exec(QStringLiteral("create trigger keep4 before delete on diskinfo when old.DiskID = 4 "
                               "begin select raise(abort, 'row 4 is protected'); end"));
        const Run r = cli({"--udl", db.udlPath(), "clear", "--yes", "--del-log", db.dir() + QStringLiteral("/del.log")});
        QCOMPARE(r.code, 3);
        QVERIFY2(lines(r.out).contains(QStringLiteral("重码未删除:4")), qPrintable(r.out));
        QVERIFY2(r.err.contains(QStringLiteral("DiskID 4 was not deleted: row 4 is protected")), qPrintable(r.err));
        QCOMPARE(rowCount(db), 6);
    }

    void importDryRunJsonMatchesTheParser()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        db.exec(QStringLiteral("insert into BD_Material (BD_MCode) values ('2002')"));
        const QString source = chongma::test::writeFile(db.dir() + QStringLiteral("/src.txt"), mixedSource());
        const Run r = cli({"--udl", db.udlPath(), "import", source, "--dry-run", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(db.materialCount(), 1); // a dry run inserts nothing

        const QList<QByteArray> cleaned = chongma::import::cleanLines(chongma::import::loadSourceLines(source));
        const QStringList out = lines(r.out);
        QCOMPARE(out.size(), cleaned.size() + 1);
        QStringList outcomes;
        for (int i = 0; i < cleaned.size(); ++i) {
            const QJsonObject o = QJsonDocument::fromJson(out.at(i).toUtf8()).object();
            QCOMPARE(o.value(QStringLiteral("line")).toInt(), i + 1);
            QCOMPARE(o.value(QStringLiteral("text")).toString(), chongma::fromCodePage(cleaned.at(i)));
            chongma::TMaterialRec rec;
            QByteArray work = cleaned.at(i);
            const bool accepted = chongma::ParseMaterialLine(rec, work);
            QCOMPARE(o.value(QStringLiteral("accepted")).toBool(), accepted);
            if (!accepted) {
                QVERIFY(!o.value(QStringLiteral("reason")).toString().isEmpty());
                outcomes << QStringLiteral("rejected");
                continue;
            }
            QCOMPARE(o.value(QStringLiteral("code")).toString(), chongma::fromCodePage(rec.Code.bytes()));
            QCOMPARE(o.value(QStringLiteral("mno")).toString(), chongma::fromCodePage(rec.MNo.bytes()));
            QCOMPARE(o.value(QStringLiteral("int")).toInt(), rec.IntValue);
            QCOMPARE(o.value(QStringLiteral("price")).toString(), chongma::fromCodePage(rec.Price.bytes()));
            QCOMPARE(o.value(QStringLiteral("pubDate")).toString(), chongma::fromCodePage(rec.PubDate.bytes()));
            QCOMPARE(o.value(QStringLiteral("name")).toString(), chongma::fromCodePage(rec.Name.bytes()));
            QCOMPARE(o.value(QStringLiteral("supName")).toString(), chongma::fromCodePage(rec.SupName.bytes()));
            QCOMPARE(o.value(QStringLiteral("sql")).toString(), chongma::fromCodePage(chongma::BuildInsertSQL(rec)));
            outcomes << o.value(QStringLiteral("outcome")).toString();
        }
        QCOMPARE(outcomes, QStringList({"new", "present", "rejected", "new", "present", "rejected"}));
        const QJsonObject totals = QJsonDocument::fromJson(out.last().toUtf8()).object();
        QCOMPARE(totals.value(QStringLiteral("sum")).toInt(), 6);
        QCOMPARE(totals.value(QStringLiteral("num")).toInt(), 2);
        QCOMPARE(totals.value(QStringLiteral("exist")).toInt(), 2);
        QCOMPARE(totals.value(QStringLiteral("error")).toInt(), 0);
        QCOMPARE(totals.value(QStringLiteral("rejected")).toInt(), 2);
    }

    void importRunsAndReports()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        const QString source = chongma::test::writeFile(db.dir() + QStringLiteral("/src.txt"), mixedSource());
        const Run r = cli({"--udl", db.udlPath(), "import", source});
        QCOMPARE(r.code, 0);
        const QStringList out = lines(r.out);
        QCOMPARE(out.size(), 3);
        QVERIFY(out.at(0).startsWith(QStringLiteral("开始时间:")));
        QVERIFY(out.at(1).startsWith(QStringLiteral("完成时间:")));
        QCOMPARE(out.at(2), QStringLiteral("总记录数：6 已导入数：3 已存在数：1 格式错误：0 未导入数：0 无法解析：2"));
        QVERIFY2(r.err.contains(QStringLiteral("source read as GBK")), qPrintable(r.err));
        QCOMPARE(db.materialCount(), 3);

        const Run missing = cli({"--udl", db.udlPath(), "import", db.dir() + QStringLiteral("/nothere.txt")});
        QCOMPARE(missing.code, 1);
        QVERIFY2(missing.err.contains(QStringLiteral("Cannot open file ") + db.dir() + QStringLiteral("/nothere.txt")),
                 qPrintable(missing.err));

        // A UTF-8 file is converted, and says so, unless code page 936 is forced.
        const QString utf8 = chongma::test::writeFile(db.dir() + QStringLiteral("/u8.txt"),
                                                      QStringLiteral("9001 M 1 1 [d] 名称 [!] s\n").toUtf8());
        const Run converted = cli({"--udl", db.udlPath(), "import", utf8, "--dry-run"});
        QCOMPARE(converted.code, 0);
        QVERIFY2(converted.err.contains(QStringLiteral("source read as UTF-8, converted to GBK")), qPrintable(converted.err));
        const Run forced = cli({"--udl", db.udlPath(), "import", utf8, "--dry-run", "--encoding", "gbk"});
        QVERIFY2(forced.err.contains(QStringLiteral("source read as GBK")), qPrintable(forced.err));
        QCOMPARE(cli({"--udl", db.udlPath(), "import", utf8, "--encoding", "latin9"}).code, 2);

        // What a NUL leaves unread is said, with an exit code of its own.
        const QString nul = chongma::test::writeFile(db.dir() + QStringLiteral("/nul.txt"),
                                                     QByteArray("9002 M 1 1 [d] n [!] s\n\0more", 28));
        const Run cut = cli({"--udl", db.udlPath(), "import", nul, "--dry-run"});
        QCOMPARE(cut.code, 3);
        QVERIFY2(cut.err.contains(QStringLiteral("offset 23 ended the text; 4 bytes")), qPrintable(cut.err));
    }

    // A FIFO nobody writes to yet: the import waits for a writer, and the first SIGTERM still
    // stops it, as a cancel.
    void importStopsWhileWaitingForAWriter()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("the reading does not depend on the database");
        ScratchDatabase db(backend);
        db.createMaterials();
        const QByteArray fifo = QFile::encodeName(db.dir() + QStringLiteral("/fifo"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QProcess import;
        import.setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
        import.setArguments({"--udl", db.udlPath(), "import", QFile::decodeName(fifo), "--json"});
        import.start();
        QVERIFY(import.waitForStarted());
        // With --json the run log goes to stderr; its start line comes just before the source is
        // opened.
        QString err;
        QVERIFY(QTest::qWaitFor([&] {
            err += QString::fromUtf8(import.readAllStandardError());
            return err.contains(QStringLiteral("开始时间:"));
        }, 30000));
        QTest::qWait(300); // well inside the wait for a writer
        ::kill(pid_t(import.processId()), SIGTERM);
        const bool stopped = import.waitForFinished(10000);
        if (!stopped) {
            // Still waiting: a writer that closes at once lets it go, so the test can end.
            const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            if (!import.waitForFinished(10000))
                import.kill();
            import.waitForFinished(10000);
        }
        QVERIFY2(stopped, "the first SIGTERM did not stop the import");
        QCOMPARE(import.exitStatus(), QProcess::NormalExit);
        QCOMPARE(import.exitCode(), 130);
        err += QString::fromUtf8(import.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("导入已停止")), qPrintable(err));
        QCOMPARE(db.materialCount(), 0);
    }

    // On a terminal a long job keeps one progress line on stderr (done of total, rate); off one
    // it prints nothing of the kind.
    void progressLineOnlyOnATerminal()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite") || QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
            QSKIP("needs util-linux script for a terminal");
        ScratchDatabase db(backend);
        db.createMaterials();
        QByteArray lines;
        for (int i = 0; i < 3000; ++i)
            lines += QByteArray::number(100000 + i) + " M 1 1.0 [d] n [!] s\n";
        const QString source = chongma::test::writeFile(db.dir() + QStringLiteral("/src.txt"), lines);
        const QStringList args{"--udl", db.udlPath(), "import", source, "--dry-run"};
        const Run offTerminal = cli(args);
        QVERIFY2(!offTerminal.err.contains(QStringLiteral("of 3000")), qPrintable(offTerminal.err));

        QProcess onTerminal;
        QStringList quoted{qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli")};
        for (const QString &a : args)
            quoted << u'\'' + a + u'\'';
        onTerminal.start(QStringLiteral("script"), {"-qec", quoted.join(u' '), "/dev/null"});
        QVERIFY(onTerminal.waitForFinished(60000));
        const QString seen = QString::fromUtf8(onTerminal.readAll());
        QVERIFY2(seen.contains(QStringLiteral("importing: 3000 of 3000 lines")), qPrintable(seen));
    }

    void watchHonoursShortPeriodsWithoutSpinning()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite") || !QFile::exists(QStringLiteral("/proc/self/stat")))
            QSKIP("reads the process's CPU time from /proc");
        ScratchDatabase db(backend);
        db.createMaterials();
        QProcess watcher;
        watcher.setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
        watcher.setArguments({"--udl", db.udlPath(), "watch", db.dir() + QStringLiteral("/none.txt"), "--every", "0.05",
                              "--config", db.dir() + QStringLiteral("/config.ini")});
        watcher.start();
        QVERIFY(watcher.waitForStarted());
        QTest::qWait(2000);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(watcher.processId()));
        QVERIFY(stat.open(QIODevice::ReadOnly));
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        const long ticks = fields.at(11).toLong() + fields.at(12).toLong(); // utime + stime
        watcher.terminate();
        QVERIFY(watcher.waitForFinished(10000));
        // Two seconds of waiting in 0.1 s steps cost a few ticks; spinning costs about 200.
        QVERIFY2(ticks < 60, qPrintable(QString::number(ticks)));
    }

    void watchOnceWaitsForAFileStillBeingWritten()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("the watching does not depend on the database");
        ScratchDatabase db(backend);
        db.createMaterials();
        const QString source = db.dir() + QStringLiteral("/growing.txt");
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QProcess watcher;
        watcher.setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
        watcher.setArguments({"--udl", db.udlPath(), "watch", source, "--once", "--config", db.dir() + QStringLiteral("/config.ini")});
        watcher.start();
        QVERIFY(watcher.waitForStarted());
        // Written for about three seconds, a line every 0.3 s: longer than one look apart.
        for (int i = 0; i < 10; ++i) {
            file.write(QByteArray::number(5000 + i) + " M 1 1 [d] n [!] s\n");
            file.flush();
            QTest::qWait(300);
        }
        file.close();
        QVERIFY(watcher.waitForFinished(30000));
        const QString out = QString::fromUtf8(watcher.readAllStandardOutput());
        QCOMPARE(watcher.exitCode(), 0);
        QVERIFY2(out.contains(QStringLiteral("已导入数：10")), qPrintable(out));
        QCOMPARE(db.materialCount(), 10);
    }

    void watchOnceImportsAndWritesConfig()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        const QString source = chongma::test::writeFile(db.dir() + QStringLiteral("/src.txt"), mixedSource());
        const QString config = db.dir() + QStringLiteral("/config.ini");
        const Run r = cli({"--udl", db.udlPath(), "watch", source, "--once", "--config", config});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QStringLiteral("已导入数：3")), qPrintable(r.out + r.err));
        QCOMPARE(db.materialCount(), 3);
        QFile ini(config);
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray bytes = ini.readAll();
        QVERIFY2(bytes.startsWith("[config.ini]\r\nFilePath=\r\nFileName=\r\nFileCreateTime="), bytes.constData());
    }

    void watchImportsAgainWhenTheFileChanges()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("the watching does not depend on the database");
        ScratchDatabase db(backend);
        db.createMaterials();
        const QString source = chongma::test::writeFile(db.dir() + QStringLiteral("/src.txt"), mixedSource());
        const QDateTime first = QDateTime::currentDateTime().addSecs(-100);
        {
            QFile f(source);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(first, QFileDevice::FileModificationTime));
        }
        QProcess watcher;
        watcher.setProgram(qEnvironmentVariable("CHONGMA_BIN_DIR") + QStringLiteral("/chongma-cli"));
        watcher.setArguments({"--udl", db.udlPath(), "watch", source, "--every", "0.3", "--config",
                              db.dir() + QStringLiteral("/config.ini")});
        watcher.start();
        QVERIFY(watcher.waitForStarted());
        QString out;
        auto imports = [&] {
            out += QString::fromUtf8(watcher.readAllStandardOutput());
            return int(out.count(QStringLiteral("完成时间:")));
        };
        QTRY_COMPARE_WITH_TIMEOUT(imports(), 1, 20000);
        QTest::qWait(1500); // several more looks at the unchanged file
        QCOMPARE(imports(), 1);

        {
            QFile f(source);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(first.addSecs(50), QFileDevice::FileModificationTime));
        }
        QTRY_COMPARE_WITH_TIMEOUT(imports(), 2, 20000);
        QVERIFY2(out.contains(QStringLiteral("已导入数：0 已存在数：4")), qPrintable(out)); // the second run finds them all
        watcher.terminate(); // SIGTERM: a clean stop
        QVERIFY(watcher.waitForFinished(10000));
        QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watcher.exitCode(), 130);
        QCOMPARE(db.materialCount(), 3);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
