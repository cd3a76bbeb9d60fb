// The window's import on the database thread and the source watch: counters and memos, the
// busy flag, refused second starts, closing mid-run, the cycle check.
#include "app/FrmMain.h"
#include "data/DataLink.h"
#include "data/SessionHost.h"
#include "text/CodePage.h"
#include "support/ScriptedDialogs.h"
#include "support/TestDatabase.h"
#include "watch/Config.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <limits>

using namespace chongma;
using chongma::test::ScratchDatabase;

namespace {

QStringList memoLines(const QPlainTextEdit *memo)
{
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

void setWriteTime(const QString &path, const QDateTime &when)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || !f.setFileTime(when, QFileDevice::FileModificationTime))
        qFatal("cannot set the write time of %s", qPrintable(path));
}

QByteArray manyLines(int count)
{
    QByteArray source;
    for (int i = 0; i < count; ++i)
        source += QByteArray::number(100000 + i) + " M 1 1.0 [2024-01-01] " + toCodePage(QStringLiteral("材料")) + " [!] s\r\n";
    return source;
}

struct Fixture {
    explicit Fixture(const QString &backend) : db(backend)
    {
        db.createMaterials();
        db.exec(QStringLiteral("insert into BD_Material (BD_MCode) values ('2002')"));
        host.open(readDataLink(db.udlPath()));
        window = std::make_unique<TFrmMain>(&host);
        window->show();
        // Every change to a memo or a counter must be made on the window's thread.
        for (QPlainTextEdit *memo : window->findChildren<QPlainTextEdit *>())
            QObject::connect(memo, &QPlainTextEdit::textChanged, memo, [this] { checkThread(); }, Qt::DirectConnection);
    }
    void checkThread()
    {
        if (QThread::currentThread() != qApp->thread())
            ++offThread;
    }
    int materials() { return db.materialCount(); }
    bool idle() { return QTest::qWaitFor([&] { return !window->FBusy; }, 60000); }
    QString counters() const
    {
        const TFrmMain &w = *window;
        return QStringList({w.lblSum->text(), w.lblNum->text(), w.lblExist->text(), w.lblError->text(), w.lblWdr->text()})
            .join(QLatin1Char(','));
    }

    ScratchDatabase db;
    SessionHost host;
    std::unique_ptr<TFrmMain> window;
    int offThread = 0;
};

const QByteArray kThreeLines = "1001 M-1 5 12.50 [2008-04-18] n [!] s\r\n2002 M-2 1 1 [x] n [!] s\r\nshort line\r\n";

} // namespace

class TestFrmMainImport : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { test::addBackendRows(); }

    void importButtonRunsOffTheWindowThread()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        w.FSourceFile = test::writeFile(f.db.dir() + QStringLiteral("/src.txt"), kThreeLines);
        w.AddError(QStringLiteral("kept"));
        w.AddLog(QStringLiteral("cleared by the run"));

        w.btnTestClick();
        QVERIFY(w.FBusy);
        QVERIFY(!w.btnTest->isEnabled());
        QVERIFY(f.idle());
        QVERIFY(w.btnTest->isEnabled());
        QCOMPARE(f.counters(), QStringLiteral("3,1,1,0,0"));
        const QStringList log = memoLines(w.mmoLog);
        QCOMPARE(log.size(), 2);
        QVERIFY(log.at(0).startsWith(QStringLiteral("开始时间:")));
        QVERIFY(log.at(1).startsWith(QStringLiteral("完成时间:")));
        QCOMPARE(memoLines(w.mmoError), QStringList({"kept"}));
        QCOMPARE(f.materials(), 2);
        QCOMPARE(f.offThread, 0);
        QVERIFY(boxes.shown.isEmpty());

        // An error from the button's run goes to the default handler; the button comes back.
        w.FSourceFile.clear();
        w.btnTestClick();
        QVERIFY(f.idle());
        QVERIFY(w.btnTest->isEnabled());
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.at(0).text, QStringLiteral("Cannot open file "));
    }

    void secondStartIsRefusedAndLogged()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        TFrmMain &w = *f.window;
        w.FSourceFile = test::writeFile(f.db.dir() + QStringLiteral("/src.txt"), manyLines(300));
        w.StartImportThread();
        w.btnThreadGoClick();
        w.btnTestClick();
        QVERIFY(f.idle());
        QTest::qWait(200);
        // Had a second run been let through, it would have counted all 300 as present.
        QCOMPARE(f.materials(), 301);
        QCOMPARE(f.counters(), QStringLiteral("300,300,0,0,0"));
    }

    void refusalReachesTheLog()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        TFrmMain &w = *f.window;
        w.FSourceFile = test::writeFile(f.db.dir() + QStringLiteral("/src.txt"), manyLines(300));
        w.StartImportThread();
        // Wait for the run's own start line, then ask again.
        QVERIFY(QTest::qWaitFor([&] { return w.mmoLog->toPlainText().startsWith(QStringLiteral("开始时间:")); }, 20000));
        if (!w.FBusy)
            QSKIP("the run ended before the second start could be tried");
        w.StartImportThread();
        QVERIFY(memoLines(w.mmoLog).contains(QStringLiteral("导入正在进行，本次导入未启动")));
        QVERIFY(f.idle());
        QCOMPARE(f.materials(), 301);
    }

    void workerErrorGoesToTheRunLog()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        w.FSourceFile = f.db.dir() + QStringLiteral("/missing.txt");
        w.StartImportThread();
        QVERIFY(f.idle());
        QCOMPARE(memoLines(w.mmoLog).last(), QStringLiteral("导入出错:Cannot open file ") + w.FSourceFile
                                                 + QStringLiteral(": No such file or directory"));
        QVERIFY(boxes.shown.isEmpty());
    }

    void closingDuringALongImportKeepsCommittedRows()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        boxes.answers = {true};
        TFrmMain &w = *f.window;
        // Long enough that the lines in flight on the import's connections are not all of it.
        w.FSourceFile = test::writeFile(f.db.dir() + QStringLiteral("/src.txt"), manyLines(60000));
        w.StartImportThread();
        QVERIFY(QTest::qWaitFor([&] { return w.lblNum->text().toInt() >= 20; }, 30000));
        // Confirmed with Yes: the run stops after its current line, its ending runs, and only
        // then does the window go.
        QVERIFY(!w.close());
        QVERIFY(w.isVisible());
        QVERIFY(QTest::qWaitFor([&] { return !w.isVisible(); }, 30000));
        QVERIFY(!w.FBusy);
        QCOMPARE(memoLines(w.mmoLog).last(), QStringLiteral("导入已停止"));
        QCOMPARE(boxes.shown.size(), 1);
        const int rows = f.materials();
        QVERIFY2(rows > 20 && rows < 60001, qPrintable(QString::number(rows)));
        QCOMPARE(w.lblNum->text().toInt(), rows - 1); // the counters say what was done
    }

    void cycleCheck()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        TFrmMain &w = *f.window;
        const QString dir = f.db.dir();
        const QString source = test::writeFile(dir + QStringLiteral("/src.txt"), kThreeLines);
        setWriteTime(source, QDateTime::currentDateTime().addSecs(-60));
        const QString config = dir + QStringLiteral("/config.ini");
        test::writeFile(config, "[config.ini]\r\nFilePath=" + dir.toUtf8() + "\r\nFileName=src.txt\r\nFileCheckCycle=3600\r\n");

        w.LoadSourceWatch(config);
        QCOMPARE(w.FSourceFile, dir + QStringLiteral("/src.txt"));
        QVERIFY(w.tmrCycle->isActive());
        QCOMPARE(w.tmrCycle->interval(), 3600 * 1000);

        // Busy: nothing is looked at or written.
        w.FBusy = true;
        w.tmrCycleTimer();
        w.tmrCycleTimer();
        {
            QFile untouched(config);
            QVERIFY(untouched.open(QIODevice::ReadOnly));
            QVERIFY(!untouched.readAll().contains("FileCreateTime"));
        }
        QCOMPARE(f.materials(), 1);
        w.FBusy = false;

        w.tmrCycleTimer(); // first look: the file has to hold still until the next one
        QCOMPARE(f.materials(), 1);
        w.tmrCycleTimer();
        QVERIFY(w.FBusy);
        QVERIFY(f.idle());
        QCOMPARE(f.counters(), QStringLiteral("3,1,1,0,0"));
        QFile ini(config);
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QVERIFY(ini.readAll().contains("FileCreateTime=2"));

        // Unchanged: no second run.
        w.mmoLog->clear();
        w.tmrCycleTimer();
        QVERIFY(!w.FBusy);
        QVERIFY(memoLines(w.mmoLog).isEmpty());

        // A newer version whose import fails is tried again at the next look.
        f.db.exec(QStringLiteral("alter table BD_Material rename to BD_Material_away"));
        setWriteTime(source, QDateTime::currentDateTime().addSecs(-30));
        w.tmrCycleTimer(); // moved: wait
        w.tmrCycleTimer();
        QVERIFY(f.idle());
        QVERIFY2(memoLines(w.mmoLog).last().startsWith(QStringLiteral("导入出错:")), qPrintable(w.mmoLog->toPlainText()));
        f.db.exec(QStringLiteral("alter table BD_Material_away rename to BD_Material"));
        w.tmrCycleTimer();
        QVERIFY(f.idle());
        QVERIFY(memoLines(w.mmoLog).last().startsWith(QStringLiteral("完成时间:")));
        QCOMPARE(f.counters(), QStringLiteral("3,0,2,0,0"));
        QCOMPARE(f.offThread, 0);
    }

    void cycleTimer_data()
    {
        QTest::addColumn<QByteArray>("config"); // null: no config.ini
        QTest::addColumn<int>("interval");      // 0: no timer
        QTest::newRow("no config.ini") << QByteArray() << 0;
        QTest::newRow("cycle 0") << QByteArray("[config.ini]\r\nFileCheckCycle=0\r\n") << 0;
        QTest::newRow("longest whole seconds the timer holds")
            << QByteArray("[config.ini]\r\nFileCheckCycle=2147483\r\n") << 2147483000;
        QTest::newRow("one second more: the longest period")
            << QByteArray("[config.ini]\r\nFileCheckCycle=2147484\r\n") << std::numeric_limits<int>::max();
        QTest::newRow("largest cycle")
            << QByteArray("[config.ini]\r\nFileCheckCycle=2147483647\r\n") << std::numeric_limits<int>::max();
    }

    void cycleTimer()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QByteArray, config);
        QFETCH(int, interval);
        Fixture f(backend);
        TFrmMain &w = *f.window;
        const QString path = f.db.dir() + QStringLiteral("/config.ini");
        if (!config.isNull())
            test::writeFile(path, config);
        w.LoadSourceWatch(path);
        QVERIFY(w.FSourceFile.isEmpty());
        QCOMPARE(w.tmrCycle->isActive(), interval > 0);
        if (interval > 0)
            QCOMPARE(w.tmrCycle->interval(), interval);
        // No source file: the checks neither import nor write config.ini.
        w.tmrCycleTimer();
        w.tmrCycleTimer();
        QVERIFY(!w.FBusy);
        QCOMPARE(QFile::exists(path), !config.isNull());
    }
};

QTEST_MAIN(TestFrmMainImport)
#include "tst_frmmain_import.moc"
