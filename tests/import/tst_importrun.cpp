// The import run against SQLite and PostgreSQL (through ODBC): reading, cleaning, counters,
// error lines, and input that must not crash or hang it.
#include "data/Error.h"
#include "data/Session.h"
#include "text/CodePage.h"
#include "import/ImportRun.h"
#include "import/SourceReader.h"
#include "support/TestDatabase.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace chongma;
using chongma::test::ScratchDatabase;

namespace {

struct Recorder : ImportSink {
    QStringList logs, errors;
    ImportCounters last;
    QList<LineReport> reports;
    int stopAfter = -1;
    void clearLog() override { logs.clear(); }
    void addLog(const QString &line) override { logs << line; }
    void addError(const QString &line) override { errors << line; }
    void countersChanged(const ImportCounters &c) override { last = c; }
    void lineHandled(const LineReport &r) override { reports << r; }
    bool progress(qint64 done, qint64) override { return stopAfter < 0 || done < stopAfter; }
};

QString writeSource(const QString &dir, const QByteArray &bytes)
{
    return test::writeFile(QDir(dir).filePath(QStringLiteral("src.txt")), bytes);
}

QByteArray gbk(const QString &text) { return toCodePage(text); }

QString counters(const ImportCounters &c)
{
    return QStringLiteral("%1,%2,%3,%4,%5").arg(c.sum).arg(c.num).arg(c.exist).arg(c.error).arg(c.wdr);
}

const QByteArray kNew = "6901 M-1 5 12.50 [2008-04-18] " + QByteArray("\xb2\xe2\xca\xd4\xb2\xc4\xc1\xcf") + " [!] "
                        + QByteArray("\xc4\xb3\xb9\xa9\xd3\xa6\xc9\xcc");
const QByteArray kPresent = "6902 M-2 1 3.0 [2009-01-01] old [!] sup";
const QByteArray kRejected = "6903 M-3 x1.5 3.0 [2009-01-01] bad integer [!] sup";

} // namespace

class TestImportRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { test::addBackendRows(); }

    void readingRules_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("lines");
        using L = QList<QByteArray>;
        QTest::newRow("CR LF, lone CR, lone LF") << QByteArray("a\r\nb\rc\nd") << L{"a", "b", "c", "d"};
        QTest::newRow("break at the end adds no line") << QByteArray("a\r\n") << L{"a"};
        QTest::newRow("empty lines kept in order") << QByteArray("\n\r\n\ra") << L{"", "", "", "a"};
        QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << L{"a", "", "b"};
        QTest::newRow("NUL ends the text") << QByteArray("a\nb\0c\nd", 7) << L{"a", "b"};
        QTest::newRow("empty file") << QByteArray() << L{};
    }

    void readingRules()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, lines);
        QTemporaryDir dir;
        QCOMPARE(import::loadSourceLines(writeSource(dir.path(), bytes)), lines);
    }

    void cleaning_data()
    {
        QTest::addColumn<QList<QByteArray>>("raw");
        QTest::addColumn<QList<QByteArray>>("cleaned");
        using L = QList<QByteArray>;
        QTest::newRow("blank lines dropped, order kept") << L{"  ", "b", "\t", "a "} << L{"b", "a"};
        QTest::newRow("trim before quotes: a line of quotes stays")
            << L{"\"''\""} << L{""};
        QTest::newRow("blanks between a quote and the end stay") << L{"\"abc  \""} << L{"abc  "};
        QTest::newRow("control bytes trimmed") << L{QByteArray("\x01x\x1f", 3)} << L{"x"};
    }

    void cleaning()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QList<QByteArray>, raw);
        QFETCH(QList<QByteArray>, cleaned);
        QCOMPARE(import::cleanLines(raw), cleaned);
    }

    void runs_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("counters"); // sum,num,exist,error,wdr
        QTest::addColumn<int>("inserted");
        QTest::addColumn<int>("errorLines");
        QTest::newRow("new, present, rejected") << kNew + "\r\n" + kPresent + "\r\n" + kRejected << "3,1,1,0,0" << 1 << 0;
        QTest::newRow("empty file") << QByteArray() << "0,0,0,0,0" << 0 << 0;
        QTest::newRow("blank lines only") << QByteArray("\r\n  \r\n\t\n\n") << "0,0,0,0,0" << 0 << 0;
        QTest::newRow("same new code twice") << kNew + "\n" + kNew + "\n" << "2,1,1,0,0" << 1 << 0;
        QTest::newRow("last line without a break") << kPresent + "\n" + kNew << "2,1,1,0,0" << 1 << 0;
        QTest::newRow("a line of quotes counts, is rejected") << QByteArray("\"\"\"\n") + kNew << "2,1,0,0,0" << 1 << 0;
        QTest::newRow("failing insert")
            << QByteArray("7001 M 1 bad [d] n [!] s\n") + kNew << "2,1,0,1,0" << 1 << 2;
        QTest::newRow("name not valid GBK") << QByteArray("7002 M 1 1 [d] \x81\x20x [!] s") << "1,0,0,1,0" << 0 << 2;
        QTest::newRow("code not valid GBK") << QByteArray("70\xff M 1 1 [d] n [!] s") << "1,0,0,1,0" << 0 << 2;
        QTest::newRow("present code with a bad name is present")
            << QByteArray("6902 M 1 1 [d] \x81\x20x [!] s") << "1,0,1,0,0" << 0 << 0;
    }

    void runs()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QByteArray, source);
        QFETCH(QString, counters);
        QFETCH(int, inserted);
        QFETCH(int, errorLines);
        ScratchDatabase db(backend);
        db.createMaterials();
        db.exec(QStringLiteral("insert into BD_Material (BD_MCode, BD_MName) values ('6902', 'already here')"));
        TData1 session(db.link());
        const QString path = writeSource(db.dir(), source);

        // The dry run predicts the real run's counters (short of what only the database can
        // refuse) and writes nothing.
        Recorder dry;
        import::RunImport(session, path, dry, ImportOptions{true});
        if (!QByteArray(QTest::currentDataTag()).contains("failing insert"))
            QCOMPARE(::counters(dry.last), counters);
        QCOMPARE(db.materialCount(), 1);

        Recorder sink;
        sink.logs << QStringLiteral("from before");
        const ImportResult result = import::RunImport(session, path, sink);
        QVERIFY(result.complete);
        QCOMPARE(::counters(sink.last), counters);
        QCOMPARE(db.materialCount(), 1 + inserted);
        QCOMPARE(sink.errors.size(), errorLines);
        QCOMPARE(sink.logs.size(), 2); // the run log was cleared: start and finish only
        QVERIFY(sink.logs.at(0).startsWith(QStringLiteral("开始时间:")));
        QVERIFY(sink.logs.at(1).startsWith(QStringLiteral("完成时间:")));
        QCOMPARE(sink.logs.at(0).size(), 5 + 19);
        QCOMPARE(sink.last.sum, sink.last.num + sink.last.exist + sink.last.error + sink.last.rejected);
    }

    void failedInsertLines()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        Recorder sink;
        sink.errors << QStringLiteral("A"); // what the search left in the list stays before
        import::RunImport(session, writeSource(db.dir(), "7001 M-9 1 bad [2001-02-03] n [!] s\n"), sink);
        QCOMPARE(sink.errors,
                 QStringList({"A", "入库格式错误，条码:7001",
                              "insert into BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, Pur_SupName, BD_MPUBDATE) "
                              "values('7001', 'M-9', 'n', 'bad', 's', '2001-02-03'); "}));
    }

    void chineseTextRoundTrips()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        const QString name = QStringLiteral("不锈钢 螺栓 M8×30");
        const QString supplier = QStringLiteral("上海某某五金有限公司");
        Recorder sink;
        import::RunImport(session, writeSource(db.dir(), gbk(QStringLiteral("8001 甲-1 7 9.90 [2024-05-06] ") + name + QStringLiteral(" [!] ") + supplier)), sink);
        QCOMPARE(::counters(sink.last), QStringLiteral("1,1,0,0,0"));
        const auto rows = db.rows(QStringLiteral("select BD_MNo, BD_MName, Pur_SupName, BD_MPUBDATE, BD_MPRICE from BD_Material"));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).at(0).toString(), QStringLiteral("甲-1"));
        QCOMPARE(rows.at(0).at(1).toString(), name);
        QCOMPARE(rows.at(0).at(2).toString(), supplier);
        QCOMPARE(rows.at(0).at(3).toString(), QStringLiteral("2024-05-06"));
        QCOMPARE(rows.at(0).at(4).toString(), QStringLiteral("9.90"));
    }

    void cannotOpen_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<QString>("reason"); // after the path
        QTest::newRow("empty path") << QString() << QString();
        QTest::newRow("missing file") << QStringLiteral("missing") << QStringLiteral(": No such file or directory");
        QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral(": Is a directory");
    }

    void cannotOpen()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, which);
        QFETCH(QString, reason);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        QString path;
        if (which == QLatin1String("missing"))
            path = db.dir() + QStringLiteral("/nothere.txt");
        else if (which == QLatin1String("folder"))
            path = db.dir();
        Recorder sink;
        try {
            import::RunImport(session, path, sink);
            QFAIL("the run should have stopped");
        } catch (const Error &e) {
            QCOMPARE(e.message(), QStringLiteral("Cannot open file ") + path + reason);
        }
        QCOMPARE(sink.logs.size(), 1); // the start line only
        QVERIFY(sink.logs.at(0).startsWith(QStringLiteral("开始时间:")));
    }

    void stopsAtALineBoundary()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        QByteArray source;
        for (int i = 0; i < 5; ++i)
            source += QByteArray::number(9000 + i) + " M 1 1 [d] n [!] s\n";
        Recorder sink;
        sink.stopAfter = 2;
        const ImportResult result = import::RunImport(session, writeSource(db.dir(), source), sink);
        QVERIFY(!result.complete);
        QCOMPARE(db.materialCount(), 2); // what was committed stays
        QCOMPARE(sink.logs.last(), QStringLiteral("导入已停止"));
    }

    void badInputNeverCrashesOrHangs_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("binary file") << QStringLiteral("binary");
        QTest::newRow("invalid double-byte sequences") << QStringLiteral("dbcs");
        QTest::newRow("10 MB line") << QStringLiteral("long");
        QTest::newRow("a million blank lines") << QStringLiteral("blank");
    }

    void badInputNeverCrashesOrHangs()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("the reading does not depend on the database");
        QFETCH(QString, kind);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        QByteArray source;
        QRandomGenerator random(42);
        if (kind == QLatin1String("binary")) {
            for (int i = 0; i < 200000; ++i)
                source += char(random.bounded(1, 256)); // no NUL: read it all
        } else if (kind == QLatin1String("dbcs")) {
            for (int i = 0; i < 2000; ++i)
                source += QByteArray::number(i) + " M 1 1 [d] \x81\x20\xff\x41\xfe [!] \x80\x81\n";
        } else if (kind == QLatin1String("long")) {
            source = "1 M 1 1 [d] " + QByteArray(10 * 1024 * 1024, 'x') + " [!] s\n" + kNew;
        } else {
            source = QByteArray(1000000, '\n');
        }
        QElapsedTimer clock;
        clock.start();
        Recorder sink;
        const ImportResult result = import::RunImport(session, writeSource(db.dir(), source), sink);
        QVERIFY(result.complete);
        QVERIFY2(clock.elapsed() < 60000, "the run took too long");
        const ImportCounters &c = sink.last;
        QCOMPARE(c.sum, c.num + c.exist + c.error + c.rejected);
        QCOMPARE(c.wdr, 0);
        if (kind == QLatin1String("dbcs")) {
            QCOMPARE(c.error, 2000); // never inserted changed
            QCOMPARE(db.materialCount(), 0);
        }
        if (kind == QLatin1String("long"))
            QCOMPARE(::counters(c), QStringLiteral("2,2,0,0,0"));
        if (kind == QLatin1String("blank"))
            QCOMPARE(c.sum, 0);
    }
};

QTEST_GUILESS_MAIN(TestImportRun)
#include "tst_importrun.moc"
