// Start-up: the single-instance lock, the connection failure path, the default handler.
#include "app/Application.h"
#include "app/FrmMain.h"
#include "app/InstanceLock.h"
#include "data/Error.h"
#include "data/SessionHost.h"
#include "support/ScriptedDialogs.h"
#include "support/TestDatabase.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <qpa/qplatformwindow.h>

using namespace chongma;

namespace {

bool anyVisibleWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            return true;
    return false;
}

QString binary(const char *name)
{
    return qEnvironmentVariable("CHONGMA_BIN_DIR") + QLatin1Char('/') + QLatin1String(name);
}

// What platform plugins call to make a title bar's text (protected there).
struct TitleBar : QPlatformWindow {
    using QPlatformWindow::formatWindowTitle;
};

// A port on 127.0.0.1 that nothing listens on.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void connectionFailureShowsBoxAndEndsWithZero_data()
    {
        QTest::addColumn<QString>("initString"); // "" = no file; "<empty>" = empty file; "<text>" = not a data link
        QTest::addColumn<bool>("answer");
        QTest::newRow("missing disk.udl, Yes") << QString() << true;
        QTest::newRow("missing disk.udl, No") << QString() << false;
        QTest::newRow("empty file") << QStringLiteral("<empty>") << true;
        QTest::newRow("not a data link") << QStringLiteral("<text>") << false;
        QTest::newRow("unknown provider") << QStringLiteral("Provider=Jet.OLEDB.4.0;Data Source=x.mdb") << true;
        QTest::newRow("SQLite file missing") << QStringLiteral("Provider=SQLite;Data Source=nothere.db") << true;
        QTest::newRow("SQL Server on a closed port")
            << QStringLiteral("Provider=SQLOLEDB.1;Password=Pw9!zz;User ID=sa;Initial Catalog=db;Data Source=127.0.0.1,%1;Connect Timeout=5")
                   .arg(closedPort())
            << false;
    }

    void connectionFailureShowsBoxAndEndsWithZero()
    {
        QFETCH(QString, initString);
        QFETCH(bool, answer);
        QTemporaryDir dir;
        const QString udl = dir.filePath(QStringLiteral("disk.udl"));
        if (initString == QLatin1String("<empty>")) {
            QFile f(udl);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (initString == QLatin1String("<text>")) {
            QFile f(udl);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("just some notes\r\nnot a connection\r\n");
        } else if (!initString.isEmpty()) {
            test::writeDataLink(udl, initString);
        }

        test::ScriptedDialogs boxes;
        boxes.answers = {answer};
        SessionHost host;
        std::unique_ptr<TFrmMain> window;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(startUp(udl, host, window), 0);
        QVERIFY2(clock.elapsed() < 5000, "a failing connection must not keep the user waiting");
        QVERIFY(!window);
        QVERIFY(!anyVisibleWindow());
        QCOMPARE(boxes.shown.size(), 1);
        QVERIFY(boxes.shown.at(0).question);
        QVERIFY(!boxes.shown.at(0).owned);
        QCOMPARE(boxes.shown.at(0).caption, QStringLiteral("提示"));
        QCOMPARE(boxes.shown.at(0).text, QStringLiteral("数据库连接失败!"));
        QCOMPARE(boxes.shown.at(0).icon, QMessageBox::Information);
    }

    void goodDataLinkShowsTheWindow()
    {
        test::ScratchDatabase db(QStringLiteral("sqlite"));
        db.createDiskinfo();
        test::ScriptedDialogs boxes;
        SessionHost host;
        std::unique_ptr<TFrmMain> window;
        QCOMPARE(startUp(db.udlPath(), host, window), -1);
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QVERIFY(boxes.shown.isEmpty());
        window.reset();
    }

    void escapedExceptionGoesToTheDefaultHandler()
    {
        test::ScriptedDialogs boxes;
        bool after = false;
        QTimer::singleShot(0, this, [] { throw std::runtime_error("条码 ABC 读取失败"); });
        QTimer::singleShot(10, this, [&] { after = true; });
        QTRY_VERIFY(after); // the loop went on
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.at(0).caption, applicationTitle(QCoreApplication::applicationFilePath()));
        QCOMPARE(boxes.shown.at(0).text, QStringLiteral("条码 ABC 读取失败."));
        QCOMPARE(boxes.shown.at(0).icon, QMessageBox::Critical);
        QVERIFY(!boxes.shown.at(0).question);
    }

    void captionsStandAlone_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::newRow("window") << QStringLiteral("清除重码 V2.0 TOVA");
        QTest::newRow("question") << QStringLiteral("提示信息");
        QTest::newRow("connection failure") << QStringLiteral("提示");
        QTest::newRow("start-up error") << QStringLiteral("Application Error");
    }

    void captionsStandAlone()
    {
        // What the platform puts in the title bar: nothing appended to the caption.
        QFETCH(QString, caption);
        QCOMPARE(TitleBar::formatWindowTitle(caption, QStringLiteral(" — ")), caption);
    }

    void standardButtonsInChinese_data()
    {
        QTest::addColumn<QMessageBox::StandardButton>("which");
        QTest::addColumn<QString>("text");
        QTest::newRow("Yes") << QMessageBox::Yes << QStringLiteral("是");
        QTest::newRow("No") << QMessageBox::No << QStringLiteral("否");
        QTest::newRow("OK") << QMessageBox::Ok << QStringLiteral("确定");
        QTest::newRow("Cancel") << QMessageBox::Cancel << QStringLiteral("取消");
    }

    void standardButtonsInChinese()
    {
        QFETCH(QMessageBox::StandardButton, which);
        QFETCH(QString, text);
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("提示信息"), QStringLiteral("确定关闭吗？"),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel);
        QAbstractButton *button = box.button(which);
        QVERIFY(button);
        // The mnemonic ("是(&Y)", "&Yes") is not part of what the button reads.
        QString shown = button->text();
        shown.remove(QRegularExpression(QStringLiteral("\\(&.\\)"))).remove(QLatin1Char('&'));
        QCOMPARE(shown, text);
    }

    void applicationTitleRules_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("title");
        QTest::newRow("plain") << QStringLiteral("/opt/x/chongma") << QStringLiteral("chongma");
        QTest::newRow("windows name") << QStringLiteral("C:/tools/ChongMa.exe") << QStringLiteral("Chongma");
        QTest::newRow("upper case") << QStringLiteral("C:/tools/CHONGMA.EXE") << QStringLiteral("Chongma");
        QTest::newRow("first character kept") << QStringLiteral("/opt/x/cHONGMA") << QStringLiteral("chongma");
        QTest::newRow("two dots") << QStringLiteral("/a/CHONG.MA.exe") << QStringLiteral("Chong");
    }

    void applicationTitleRules()
    {
        QFETCH(QString, input);
        QFETCH(QString, title);
        QCOMPARE(applicationTitle(input), title);
    }

    void defaultHandlerText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << QStringLiteral("Disk full") << QStringLiteral("Disk full.");
        QTest::newRow("already a stop") << QStringLiteral("Disk full.") << QStringLiteral("Disk full.");
        QTest::newRow("exclamation sorts before the stop") << QStringLiteral("Oops!") << QStringLiteral("Oops!");
        QTest::newRow("closing parenthesis sorts before") << QStringLiteral("(x)") << QStringLiteral("(x)");
        QTest::newRow("digit sorts after") << QStringLiteral("code 7") << QStringLiteral("code 7.");
        QTest::newRow("Chinese") << QStringLiteral("失败") << QStringLiteral("失败.");
        QTest::newRow("empty") << QString() << QString();
    }

    void defaultHandlerText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(chongma::defaultHandlerText(message), shown);
    }

    void applicationErrorBoxText()
    {
        const SetupError error(QStringLiteral("The Qt Sql driver QSQLITE is not available"));
        QCOMPARE(applicationErrorText(error, QStringLiteral("chongma")),
                 QStringLiteral("Exception chongma::SetupError in module chongma at 00000000.\r\n"
                                "The Qt Sql driver QSQLITE is not available.\r\n"));
    }

    void secondCopyLeavesSilently()
    {
        QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        InstanceLock first(runtime.path());
        QVERIFY(first.acquire());

        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        second.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        second.start(binary("chongma"), {});
        QVERIFY2(second.waitForFinished(10000), "the second copy did not leave");
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardOutput(), QByteArray());
        QCOMPARE(second.readAllStandardError(), QByteArray());
    }

    void lockOfACrashedCopyIsTakenOver()
    {
        QTemporaryDir runtime;
        // A lock file naming a process that has ended, as a crashed copy leaves it.
        QProcess gone;
        gone.start(QStringLiteral("true"), {});
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        QVERIFY(deadPid > 0);
        InstanceLock probe(runtime.path());
        QFile stale(probe.path());
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray::number(deadPid) + "\nchongma\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        stale.close();

        InstanceLock lock(runtime.path());
        QVERIFY(lock.acquire());
        InstanceLock another(runtime.path());
        QVERIFY(!another.acquire()); // and now it is held for real
    }
};

int main(int argc, char **argv)
{
    ChongmaApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
