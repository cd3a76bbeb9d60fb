// Start-up when the session cannot be made at all: here the Qt Sql driver plugins cannot be
// found. This needs a process of its own: the plugins are looked up once per process.
#include "app/Application.h"
#include "app/FrmMain.h"
#include "data/SessionHost.h"
#include "support/ScriptedDialogs.h"
#include "support/TestDatabase.h"

#include <QTemporaryDir>
#include <QTest>

using namespace chongma;

class TestStartupNoDriver : public QObject {
    Q_OBJECT

private slots:
    void missingDriverEndsWithApplicationError()
    {
        QTemporaryDir noPlugins;
        QCoreApplication::setLibraryPaths({noPlugins.path()});
        QTemporaryDir dir;
        QFile(dir.filePath(QStringLiteral("demo.db"))).open(QIODevice::WriteOnly);
        test::writeDataLink(dir.filePath(QStringLiteral("disk.udl")), QStringLiteral("Provider=SQLite;Data Source=demo.db"));

        test::ScriptedDialogs boxes;
        SessionHost host;
        std::unique_ptr<TFrmMain> window;
        QCOMPARE(startUp(dir.filePath(QStringLiteral("disk.udl")), host, window), 1);
        QVERIFY(!window);
        QCOMPARE(boxes.shown.size(), 1); // and not the connection failure box
        const auto &box = boxes.shown.first();
        QCOMPARE(box.caption, QStringLiteral("Application Error"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY(!box.question);
        QVERIFY(!box.owned);
        QVERIFY2(box.text.startsWith(QStringLiteral("Exception chongma::SetupError in module ")), qPrintable(box.text));
        QVERIFY2(box.text.endsWith(QStringLiteral("QSQLITE is not available.\r\n")), qPrintable(box.text));
    }
};

int main(int argc, char **argv)
{
    ChongmaApplication app(argc, argv);
    TestStartupNoDriver test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup_nodriver.moc"
