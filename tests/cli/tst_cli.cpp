// chongma-cli as scripts run it: a separate process, exit codes, stdout and stderr.
#include "support/TestDatabase.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using chongma::test::ScratchDatabase;

namespace {

struct Run {
    int code = -1;
    QString out;
    QString err;
};

Run cli(const QStringList &args)
{
    QProcess p;
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

int rowCount(ScratchDatabase &db)
{
    return db.rows(QStringLiteral("select count(*) from diskinfo")).first().first().toInt();
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { chongma::test::addBackendRows(); }

    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--del-log";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "chongma-cli 0.";
        QTest::newRow("no command") << QStringList{} << 2 << "no command";
        QTest::newRow("unknown command") << QStringList{"explode"} << 2 << "unknown command";
        QTest::newRow("unknown option") << QStringList{"find", "--frobnicate"} << 2 << "frobnicate";
        QTest::newRow("--udl without its file") << QStringList{"check", "--udl"} << 2 << "udl";
        QTest::newRow("option of another command") << QStringList{"find", "--yes"} << 2 << "does not apply";
        QTest::newRow("stray argument") << QStringList{"find", "extra"} << 2 << "arguments";
    }

    void usage()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, mentions);
        const Run r = cli(args);
        QCOMPARE(r.code, code);
        QVERIFY2((r.out + r.err).contains(mentions), qPrintable(r.out + r.err));
        if (code == 2)
            QVERIFY(r.err.contains(QLatin1String("Usage:")));
    }

    void check()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        const Run ok = cli({"--udl", db.udlPath(), "check"});
        QCOMPARE(ok.code, 0);
        QVERIFY2(ok.out.startsWith(QLatin1String("connected: ")), qPrintable(ok.out));
        QVERIFY(ok.out.contains(db.isPostgres() ? QLatin1String("ODBC") : QLatin1String("SQLite")));
        QVERIFY2(!ok.out.contains(QLatin1String("chongma-test")), "the password must not be printed");
    }

    void checkFailures_data()
    {
        QTest::addColumn<QString>("initString"); // empty: no file at all
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing data link") << QString() << "does not exist";
        QTest::newRow("SQL Server on a closed port")
            << QStringLiteral("Provider=SQLOLEDB.1;Password=Xy-91-secret;User ID=sa;Data Source=127.0.0.1,%1;Connect Timeout=5")
            << "127.0.0.1";
    }

    void checkFailures()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QString, initString);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString udl = dir.filePath(QStringLiteral("disk.udl"));
        if (!initString.isEmpty()) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            const quint16 port = probe.serverPort();
            probe.close();
            chongma::test::writeDataLink(udl, initString.arg(port));
        }
        const Run r = cli({"--udl", udl, "check"});
        QCOMPARE(r.code, 1);
        QCOMPARE(lines(r.err).size(), 1);
        QVERIFY2(r.err.contains(reason), qPrintable(r.err));
        QVERIFY(!r.err.contains(QLatin1String("Xy-91-secret")));
        QVERIFY(r.out.isEmpty());
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
                          + (id.isNull() ? QStringLiteral("null") : QString::number(id.toInt()));
        }
        QCOMPARE(parsed, QStringList({"A=2", "N=null", "条码甲=4"}));
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
        const Run r = cli({"--udl", db.udlPath(), "clear", "--yes", "--del-log", delLog});
        QCOMPARE(r.code, 0);
        QCOMPARE(lines(r.out), QStringList({"A", "N", "条码甲", "删除重码:2", "删除重码:4"}));
        QCOMPARE(rowCount(db), 5);
        QFile f(delLog);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("A\r\nN\r\n\xCC\xF5\xC2\xEB\xBC\xD7\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
