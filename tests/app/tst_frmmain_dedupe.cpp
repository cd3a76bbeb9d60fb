// The window's duplicate cleaner end to end: buttons, memos, the confirmation and del.log,
// against SQLite and PostgreSQL (through ODBC).
#include "app/FrmMain.h"
#include "data/SessionHost.h"
#include "support/Captions.h"
#include "support/ScriptedDialogs.h"
#include "support/TestDatabase.h"

#include "data/DataLink.h"
#include "data/OperationSink.h"
#include "data/Session.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QThread>
#include <qpa/qwindowsysteminterface.h>

#include <atomic>

using namespace chongma;
using chongma::test::ScratchDatabase;

namespace {

QStringList memoLines(const QPlainTextEdit *memo)
{
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QList<int> remainingIds(ScratchDatabase &db)
{
    QList<int> ids;
    for (const QVariantList &row : db.rows(QStringLiteral("select DiskID from diskinfo order by DiskID")))
        ids << row.at(0).toInt();
    return ids;
}

// Clicks the 取消 button of a progress dialog, shown or not.
bool clickCancel(QProgressDialog *dialog)
{
    if (!dialog)
        return false;
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (button->text() == QStringLiteral("取消")) {
            button->click();
            return true;
        }
    }
    return false;
}

// One window over one database, with its session on the database thread.
struct Fixture {
    explicit Fixture(const QString &backend) : db(backend)
    {
        db.createDiskinfo();
        const QList<QVariantList> rows = {
            {1, 3, QStringLiteral("A")}, {2, 7, QStringLiteral("A")}, {3, 2, QStringLiteral("条码甲")},
            {4, 1, QStringLiteral("条码甲")}, {5, 1, QStringLiteral("solo")},
        };
        for (const QVariantList &r : rows)
            db.insertDisk(r[0], r[1], r[2]);
        host.open(readDataLink(db.udlPath()));
        window = std::make_unique<TFrmMain>(&host);
        window->FDelLogFile = db.dir() + QStringLiteral("/del.log");
        window->show();
    }
    // Keeps the database thread busy until `release` is set: jobs queue up behind.
    void blockDatabaseThread(std::atomic_bool &release)
    {
        struct Wait {
            JobEnding ending;
        };
        host.post<Wait>(std::make_shared<CancelToken>(), [&release](Connection &, const CancelToken &) {
            while (!release)
                QThread::msleep(5);
            return Wait{};
        }, nullptr, [](Wait) {});
    }
    bool idle()
    {
        return QTest::qWaitFor([&] { return !window->isRunning(); }, 30000);
    }
    bool click(QPushButton *button)
    {
        QTest::mouseClick(button, Qt::LeftButton);
        return QTest::qWaitFor([&] { return !window->isRunning(); }, 20000);
    }
    ScratchDatabase db;
    SessionHost host;
    std::unique_ptr<TFrmMain> window;
};

} // namespace

class TestFrmMainDedupe : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { test::addBackendRows(); }

    void searchThenClear()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        w.AddLog(QStringLiteral("an older line"));

        // Every memo change must happen on the window's thread.
        int offThread = 0;
        for (QPlainTextEdit *memo : {w.mmoLog, w.mmoError, w.mmoDiskID})
            connect(memo, &QPlainTextEdit::textChanged, this, [&] {
                if (QThread::currentThread() != qApp->thread())
                    ++offThread;
            }, Qt::DirectConnection);

        QVERIFY(f.click(w.btnChongMa));
        QCOMPARE(memoLines(w.mmoError), QStringList({"A", "条码甲"}));
        QCOMPARE(memoLines(w.mmoDiskID), QStringList({"2", "3"}));
        QCOMPARE(memoLines(w.mmoLog), QStringList()); // a search clears the run log
        QCOMPARE(w.FDupIDList, QStringList({"2", "3"}));
        QCOMPARE(w.FItemList, QStringList({"A", "条码甲"}));
        QVERIFY(boxes.shown.isEmpty());

        // No: nothing runs, nothing is written.
        boxes.answers = {false};
        QVERIFY(f.click(w.Button1));
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.at(0).caption, QStringLiteral("提示信息"));
        QCOMPARE(boxes.shown.at(0).text, QStringLiteral("2 个重码，确定清除重码吗？"));
        QCOMPARE(boxes.shown.at(0).icon, QMessageBox::NoIcon);
        QVERIFY(boxes.shown.at(0).owned);
        QCOMPARE(remainingIds(f.db), QList<int>({1, 2, 3, 4, 5}));
        QVERIFY(!QFile::exists(w.FDelLogFile));
        QCOMPARE(memoLines(w.mmoLog), QStringList());

        // Yes: the picked rows go, each logged, and del.log holds the duplicated barcodes only,
        // not the error lines an import added to the same memo since.
        w.AddError(QStringLiteral("入库格式错误，条码:7001"));
        boxes.answers = {true};
        QVERIFY(f.click(w.Button1));
        QCOMPARE(memoLines(w.mmoLog).mid(1), QStringList({"删除重码:2", "删除重码:3"}));
        QVERIFY(memoLines(w.mmoLog).first().startsWith(QStringLiteral("已备份:")));
        QCOMPARE(remainingIds(f.db), QList<int>({1, 4, 5}));
        QFile delLog(w.FDelLogFile);
        QVERIFY(delLog.open(QIODevice::ReadOnly));
        QCOMPARE(delLog.readAll(), QByteArray("A\r\n\xCC\xF5\xC2\xEB\xBC\xD7\r\n"));
        // The lists stay for another press.
        QCOMPARE(memoLines(w.mmoDiskID), QStringList({"2", "3"}));
        QCOMPARE(offThread, 0);
        // Kept in the build tree for a look at the window after a removal.
        QVERIFY(w.grab().save(QCoreApplication::applicationDirPath() + QStringLiteral("/frmmain-after-clear.png")));
    }

    void failedSearchLeavesNothingToDelete()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        QVERIFY(f.click(w.btnChongMa));
        QCOMPARE(w.FDupIDList.size(), 2);

        f.db.exec(QStringLiteral("alter table diskinfo rename to diskinfo_away"));
        // The error box stands alone while the user reads it, past the second after which a
        // running job's dialog would show.
        QWidget *owner = nullptr;
        int dialogsUp = -1;
        boxes.whileShown = [&](const test::ScriptedDialogs::Shown &box) {
            owner = box.owner;
            test::ScriptedDialogs::readFor(1500);
            dialogsUp = 0;
            for (QWidget *top : QApplication::topLevelWidgets())
                if (qobject_cast<QProgressDialog *>(top) && top->isVisible())
                    ++dialogsUp;
        };
        QVERIFY(f.click(w.btnChongMa));
        QCOMPARE(boxes.shown.size(), 1); // the default handler's box
        QVERIFY(!boxes.shown.at(0).question);
        QCOMPARE(boxes.shown.at(0).icon, QMessageBox::Critical);
        QCOMPARE(owner, static_cast<QWidget *>(&w));
        QCOMPARE(dialogsUp, 0);
        boxes.whileShown = nullptr;
        QVERIFY(w.FDupIDList.isEmpty());
        QCOMPARE(memoLines(w.mmoDiskID), QStringList());
        f.db.exec(QStringLiteral("alter table diskinfo_away rename to diskinfo"));

        // Yes now deletes nothing: the earlier picks are not what the window shows.
        boxes.answers = {true};
        QVERIFY(f.click(w.Button1));
        QCOMPARE(boxes.shown.last().text, QStringLiteral("0 个重码，确定清除重码吗？"));
        QCOMPARE(remainingIds(f.db), QList<int>({1, 2, 3, 4, 5}));
        QVERIFY(!QFile::exists(w.FDelLogFile)); // mmoError is empty after the failed search
    }

    void delLogThatCannotBeWrittenIsReported()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        w.FDelLogFile = f.db.dir() + QStringLiteral("/no/such/folder/del.log");
        QVERIFY(f.click(w.btnChongMa));
        boxes.answers = {true};
        QVERIFY(f.click(w.Button1));
        // Found out before anything is deleted.
        QCOMPARE(memoLines(w.mmoLog), QStringList());
        QCOMPARE(remainingIds(f.db), QList<int>({1, 2, 3, 4, 5}));
        QCOMPARE(boxes.shown.size(), 2);
        QVERIFY2(boxes.shown.at(1).text.startsWith(QStringLiteral("Cannot create file %1: ").arg(w.FDelLogFile)),
                 qPrintable(boxes.shown.at(1).text));
    }

    void connectionLostDuringRemoval()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgres"))
            QSKIP("needs a server whose connection can be cut from outside");
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        int pid = 0;
        f.host.call([&](Connection &c) {
            OperationSink none;
            pid = c.session(none).select(QStringLiteral("select pg_backend_pid() as pid")).integer(0, QStringLiteral("pid"));
        });
        QVERIFY(f.click(w.btnChongMa));
        f.db.exec(QStringLiteral("select pg_terminate_backend(?)"), {pid});

        boxes.answers = {true};
        QVERIFY(f.click(w.Button1));
        QCOMPARE(boxes.shown.size(), 2); // the confirmation, then the default handler's box
        QCOMPARE(boxes.shown.at(1).icon, QMessageBox::Critical);
        QVERIFY(memoLines(w.mmoLog).isEmpty());
        // del.log is written before the first deletion, whatever happens next.
        QVERIFY(QFile::exists(w.FDelLogFile));
        QCOMPARE(remainingIds(f.db), QList<int>({1, 2, 3, 4, 5}));

        // The next job opens the connection again first, and says so.
        QVERIFY(f.click(w.btnChongMa));
        QCOMPARE(memoLines(w.mmoLog), QStringList({"已重新连接数据库"}));
        QCOMPARE(memoLines(w.mmoDiskID), QStringList({"2", "3"}));
    }

    // A search that lists a hundred thousand barcodes reaches the memos in a few blocks, not one
    // queued change per line.
    void manyBarcodesArriveInBlocks()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        f.db.exec(QStringLiteral("delete from diskinfo"));
        f.db.insertDuplicatePairs(100000);
        TFrmMain &w = *f.window;
        int changes = 0;
        connect(w.mmoError, &QPlainTextEdit::textChanged, this, [&] { ++changes; });
        QVERIFY(f.click(w.btnChongMa));
        QCOMPARE(w.mmoError->document()->blockCount(), 100000);
        QCOMPARE(w.mmoDiskID->document()->blockCount(), 100000);
        QCOMPARE(w.FDupIDList.size(), 100000);
        QVERIFY2(changes < 1000, qPrintable(QString::number(changes)));
    }

    // A search cancelled before it could end leaves nothing to delete.
    void cancelledSearchLeavesNothingToDelete()
    {
        QFETCH_GLOBAL(QString, backend);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        std::atomic_bool release{false};
        f.blockDatabaseThread(release);
        const auto unblock = qScopeGuard([&] { release = true; }); // also when a check fails
        QTest::mouseClick(w.btnChongMa, Qt::LeftButton);
        QVERIFY(w.isRunning());
        QCOMPARE(w.progressDialog()->windowTitle(), QStringLiteral("查找重码"));
        QCOMPARE(w.progressDialog()->labelText(), QStringLiteral("查找重码")); // no total known
        QVERIFY(clickCancel(w.progressDialog()));
        release = true;
        QVERIFY(QTest::qWaitFor([&] { return !w.isRunning(); }, 20000));
        QCOMPARE(memoLines(w.mmoLog), QStringList({"查找重码已取消"}));
        QVERIFY(w.FDupIDList.isEmpty());
        QCOMPARE(memoLines(w.mmoDiskID), QStringList());

        boxes.answers = {true};
        QVERIFY(f.click(w.Button1));
        QCOMPARE(boxes.shown.last().text, QStringLiteral("0 个重码，确定清除重码吗？"));
        QCOMPARE(remainingIds(f.db), QList<int>({1, 2, 3, 4, 5}));
    }

    // The search ends while the close question (a child of its dialog) is up: the dialog goes
    // from sight but lives until the question is answered; 是 then closes the idle window, 否
    // leaves it with the search's results.
    void searchEndsWhileTheCloseQuestionIsUp_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::newRow("是") << true;
        QTest::newRow("否") << false;
    }

    void searchEndsWhileTheCloseQuestionIsUp()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(bool, answer);
        Fixture f(backend);
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        std::atomic_bool release{false};
        f.blockDatabaseThread(release);
        const auto unblock = qScopeGuard([&] { release = true; });
        QTest::mouseClick(w.btnChongMa, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return w.progressDialog() && w.progressDialog()->isVisible(); }, 5000));
        QPointer<QWidget> owner;
        bool ownerLived = false;
        bool ownerHidden = false;
        boxes.whileShown = [&](const test::ScriptedDialogs::Shown &box) {
            owner = box.owner;
            release = true;
            for (int i = 0; i < 200 && w.isRunning(); ++i)
                test::ScriptedDialogs::readFor(50);
            test::ScriptedDialogs::readFor(100);
            ownerLived = !owner.isNull();
            ownerHidden = ownerLived && !owner->isVisible();
        };
        boxes.answers = {answer};
        QProgressDialog *dialog = w.progressDialog();
        QCOMPARE(w.close(), answer); // the job has ended by the answer
        QCOMPARE(owner.data(), static_cast<QWidget *>(dialog));
        QVERIFY(ownerLived);
        QVERIFY(ownerHidden);
        QVERIFY(!w.isRunning());
        QCOMPARE(w.isVisible(), !answer);
        QCOMPARE(memoLines(w.mmoDiskID), QStringList({"2", "3"}));
        QTRY_VERIFY(owner.isNull()); // gone once the question was answered
        QCOMPARE(w.progressDialog(), nullptr);
    }

    // A long removal: the progress dialog shows after about a second and its 取消 stops the
    // removal at the next row; closing the window does the same, and the window goes only once
    // the removal's ending (log lines, del.log, backup) has run. The close question is asked
    // above the dialog, and one asked before the dialog is due is not covered by it.
    void longRemovalCanBeStopped_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("取消 in the progress dialog") << "cancel";
        QTest::newRow("closing the window") << "close";
        // What the title bar's close button sends: not delivered while a modal window blocks ours.
        QTest::newRow("the window manager's close request") << "window manager";
        QTest::newRow("closing in the first second, 否, then 取消") << "early";
    }

    void longRemovalCanBeStopped()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, how);
        const bool byClosing = how == QLatin1String("close") || how == QLatin1String("window manager");
        Fixture f(backend);
        f.db.exec(QStringLiteral("delete from diskinfo"));
        f.db.insertDuplicatePairs(3500);
        f.db.slowDownDeletes();
        test::ScriptedDialogs boxes;
        TFrmMain &w = *f.window;
        QVERIFY(f.click(w.btnChongMa));
        QCOMPARE(w.FDupIDList.size(), 3500);

        boxes.answers = {true, byClosing}; // the removal, then the close
        // Held back until the dialog has had its second, whatever this machine's speed.
        std::atomic_bool release{false};
        f.blockDatabaseThread(release);
        const auto unblock = qScopeGuard([&] { release = true; }); // also when a check fails
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(w.Button1, Qt::LeftButton);
        QWidget *askedOver = nullptr;
        bool dialogUpWhileAsked = false;
        boxes.whileShown = [&](const test::ScriptedDialogs::Shown &box) {
            askedOver = box.owner;
            if (how == QLatin1String("early"))
                test::ScriptedDialogs::readFor(1500); // the user takes a while to answer
            dialogUpWhileAsked = w.progressDialog() && w.progressDialog()->isVisible();
        };
        if (how == QLatin1String("early")) {
            QVERIFY(!w.close());
            QCOMPARE(boxes.shown.size(), 2);
            QCOMPARE(askedOver, static_cast<QWidget *>(&w));
            QVERIFY(!dialogUpWhileAsked); // the dialog did not come up over the question
            QVERIFY(w.isRunning());       // 否: the removal goes on
        }
        QVERIFY(QTest::qWaitFor([&] { return w.progressDialog() && w.progressDialog()->isVisible(); }, 5000));
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed()))); // not for a short job
        // Named after its job, the total known from the start, nothing cut.
        QCOMPARE(w.progressDialog()->windowTitle(), QStringLiteral("清除重码"));
        QCOMPARE(w.progressDialog()->labelText(), QStringLiteral("清除重码 0/3500"));
        QCOMPARE(test::crampedCaptions(w.progressDialog()), QString());
        release = true;
        const auto deletedLines = [&] { return memoLines(w.mmoLog).filter(QStringLiteral("删除重码:")).size(); };
        QVERIFY(QTest::qWaitFor([&] { return deletedLines() > 0; }, 120000));
        if (byClosing) {
            QProgressDialog *dialog = w.progressDialog();
            if (how == QLatin1String("close"))
                QVERIFY(!w.close());
            else
                QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::SynchronousDelivery>(w.windowHandle());
            QVERIFY(w.isVisible()); // until the removal's ending has run
            QCOMPARE(boxes.shown.size(), 2);
            QCOMPARE(boxes.shown.at(1).text, QStringLiteral("确定关闭吗？"));
            QVERIFY(dialogUpWhileAsked);
            QCOMPARE(askedOver, static_cast<QWidget *>(dialog)); // a child of the dialog: above it
            QVERIFY(QTest::qWaitFor([&] { return !w.isVisible(); }, 120000));
        } else {
            QVERIFY(clickCancel(w.progressDialog()));
            QVERIFY(QTest::qWaitFor([&] { return !w.isRunning(); }, 120000));
        }
        QVERIFY(!w.isRunning());
        const QStringList log = memoLines(w.mmoLog);
        const int deleted = int(deletedLines());
        QVERIFY2(deleted > 0 && deleted < 3500, qPrintable(QString::number(deleted)));
        QCOMPARE(int(remainingIds(f.db).size()), 7000 - deleted);
        QVERIFY(log.first().startsWith(QStringLiteral("已备份:")));
        const QString backup = log.first().mid(4);
        QVERIFY2(QRegularExpression(QStringLiteral("/backup/diskinfo-\\d{8}-\\d{6}\\.csv$")).match(backup).hasMatch(),
                 qPrintable(backup));
        QVERIFY(QFile::exists(backup));
        QFile delLog(w.FDelLogFile);
        QVERIFY(delLog.open(QIODevice::ReadOnly));
        QCOMPARE(delLog.readAll().count("\r\n"), 3500);
        if (!byClosing)
            QCOMPARE(log.last(), QStringLiteral("清除重码已取消"));
    }
};

QTEST_MAIN(TestFrmMainDedupe)
#include "tst_frmmain_dedupe.moc"
