// The configuration record, config.ini and the source change check, on real files.
// Runs in the fixed zone UTC+8 without daylight saving, so local and UTC times differ and
// every expected time text is known in advance.
#include "data/Error.h"
#include "text/CodePage.h"
#include "watch/SourceWatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace chongma;

namespace {

// 2008-04-18 09:05:07 in UTC+8.
const QDateTime kT0(QDate(2008, 4, 18), QTime(1, 5, 7), Qt::UTC);
const QByteArray kT0Text = "2008-04-18 09:05:07";
const QDateTime kLongAgo(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);

QByteArray createdConfig(const QByteArray &time)
{
    return "[config.ini]\r\nFilePath=\r\nFileName=\r\nFileCreateTime=" + time + "\r\nFileCheckCycle=0\r\n";
}

void setWriteTime(const QString &path, const QDateTime &when)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || !f.setFileTime(when, QFileDevice::FileModificationTime))
        qFatal("cannot set the write time of %s", qPrintable(path));
}

void writeFile(const QString &path, const QByteArray &bytes, const QDateTime &when = {})
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    f.close();
    if (when.isValid())
        setWriteTime(path, when);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

QDateTime writeTime(const QString &path)
{
    return QFileInfo(path).lastModified().toUTC();
}

} // namespace

class TestConfig : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void fileTimeText_data();
    void fileTimeText();
    void fileStampRange_data();
    void fileStampRange();
    void fileStampSeesSize();

    void sourceChanged_data();
    void sourceChanged();
    void retryLater_data();
    void retryLater();

    void configUpdate_data();
    void configUpdate();
    void lineBreakInValue();
    void saveFails_data();
    void saveFails();

    void loadConfig_data();
    void loadConfig();
    void sourceFile_data();
    void sourceFile();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestConfig::initTestCase()
{
    qputenv("TZ", "CST-8");
    QVERIFY(m_dir.isValid());
    QCOMPARE(kT0.toLocalTime().time(), QTime(9, 5, 7));
}

// ---- time text and file stamp -------------------------------------------------------------

void TestConfig::fileTimeText_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QDateTime>("written");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray zero = "1899-12-30 00:00:00";
    QTest::newRow("file, local time") << "file" << kT0 << kT0Text;
    QTest::newRow("file, UTC day before") << "file" << QDateTime(QDate(2019, 12, 31), QTime(16, 0, 0, 999), Qt::UTC)
                                          << QByteArray("2020-01-01 00:00:00");
    QTest::newRow("file, afternoon") << "file" << QDateTime(QDate(1999, 9, 9), QTime(15, 4, 3), Qt::UTC)
                                     << QByteArray("1999-09-09 23:04:03");
    QTest::newRow("file before 1980 still has its time") << "file" << QDateTime(QDate(1975, 6, 1), QTime(4, 0), Qt::UTC)
                                                        << QByteArray("1975-06-01 12:00:00");
    QTest::newRow("missing") << "missing" << QDateTime() << zero;
    QTest::newRow("empty path") << "empty" << QDateTime() << zero;
    QTest::newRow("directory") << "dir" << QDateTime() << zero;
}

void TestConfig::fileTimeText()
{
    QFETCH(QString, kind);
    QFETCH(QDateTime, written);
    QFETCH(QByteArray, expected);

    QString target;
    if (kind == "file") {
        target = path("timed.txt");
        writeFile(target, "x", written);
    } else if (kind == "dir") {
        target = path("adir");
        QVERIFY(QDir().mkpath(target));
    } else if (kind == "missing") {
        target = path("nothing-here.txt");
    }
    QCOMPARE(GetFileTimeText(target), expected);
}

void TestConfig::fileStampRange_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QDateTime>("written");
    QTest::addColumn<bool>("exists");

    // Local midnight of 1980-01-01 is 16:00 UTC the day before.
    QTest::newRow("ordinary file") << "file" << kT0 << true;
    QTest::newRow("last local second of 1979") << "file" << QDateTime(QDate(1979, 12, 31), QTime(15, 59, 59), Qt::UTC) << false;
    QTest::newRow("first local second of 1980") << "file" << QDateTime(QDate(1979, 12, 31), QTime(16, 0, 0), Qt::UTC) << true;
    QTest::newRow("last local second of 2107") << "file" << QDateTime(QDate(2107, 12, 31), QTime(15, 59, 59), Qt::UTC) << true;
    QTest::newRow("first local second of 2108") << "file" << QDateTime(QDate(2107, 12, 31), QTime(16, 0, 0), Qt::UTC) << false;
    QTest::newRow("missing") << "missing" << QDateTime() << false;
    QTest::newRow("empty path") << "empty" << QDateTime() << false;
    QTest::newRow("directory") << "dir" << QDateTime() << false;
}

void TestConfig::fileStampRange()
{
    QFETCH(QString, kind);
    QFETCH(QDateTime, written);
    QFETCH(bool, exists);

    QString target;
    if (kind == "file") {
        target = path("stamped.txt");
        writeFile(target, "12345", written);
        QCOMPARE(writeTime(target), written); // the file system kept the time asked for
    } else if (kind == "dir") {
        target = path("adir");
        QVERIFY(QDir().mkpath(target));
    } else if (kind == "missing") {
        target = path("nothing-here.txt");
    }

    const FileStamp stamp = fileStamp(target);
    QCOMPARE(stamp.exists, exists);
    if (exists) {
        QCOMPARE(stamp.size, qint64(5));
        QCOMPARE(stamp.lastWrite.toUTC(), written);
    } else {
        QCOMPARE(stamp, FileStamp{});
    }
}

void TestConfig::fileStampSeesSize()
{
    // A file still being written may keep its time for a moment but not its size.
    const QString target = path("growing.txt");
    writeFile(target, "abc", kT0);
    const FileStamp before = fileStamp(target);
    QCOMPARE(fileStamp(target), before);
    writeFile(target, "abcd", kT0);
    const FileStamp after = fileStamp(target);
    QCOMPARE(after.size, qint64(4));
    QCOMPARE(after.lastWrite, before.lastWrite);
    QVERIFY(!(after == before));
}

// ---- SourceChanged ------------------------------------------------------------------------

void TestConfig::sourceChanged_data()
{
    QTest::addColumn<QString>("kind");         // what the checked path names: file, dir, missing, empty
    QTest::addColumn<QByteArray>("preset");    // FileCreateTime before anything
    QTest::addColumn<QDateTime>("firstCall");  // when valid: the file written then and checked once
    QTest::addColumn<QDateTime>("written");    // the file's write time at the checked call
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QByteArray>("stored");    // FileCreateTime after it
    QTest::addColumn<bool>("saved");           // config.ini written by the checked call

    const QDateTime none;
    QTest::newRow("empty path") << "empty" << QByteArray() << none << none << false << QByteArray() << false;
    QTest::newRow("missing file") << "missing" << QByteArray() << none << none << false << QByteArray() << false;
    QTest::newRow("directory") << "dir" << QByteArray() << none << none << false << QByteArray() << false;
    QTest::newRow("first call") << "file" << QByteArray() << none << kT0 << true << kT0Text << true;
    QTest::newRow("unchanged second call") << "file" << QByteArray() << kT0 << kT0 << false << kT0Text << false;
    QTest::newRow("one second later") << "file" << QByteArray() << kT0 << kT0.addSecs(1) << true
                                      << QByteArray("2008-04-18 09:05:08") << true;
    QTest::newRow("a day later") << "file" << QByteArray() << kT0 << kT0.addDays(1) << true
                                 << QByteArray("2008-04-19 09:05:07") << true;
    QTest::newRow("later within the same second") << "file" << QByteArray() << kT0 << kT0.addMSecs(600) << false
                                                  << kT0Text << false;
    QTest::newRow("earlier") << "file" << QByteArray() << kT0 << kT0.addSecs(-60) << false << kT0Text << false;
    QTest::newRow("before 1980") << "file" << QByteArray() << none
                                 << QDateTime(QDate(1979, 12, 31), QTime(15, 59, 59), Qt::UTC) << false << QByteArray() << false;
    QTest::newRow("before 1980 after a good one") << "file" << QByteArray() << kT0
                                                  << QDateTime(QDate(1975, 1, 1), QTime(0, 0), Qt::UTC) << false << kT0Text << false;
    QTest::newRow("stored text longer, same start") << "file" << QByteArray(kT0Text + ".5") << none << kT0 << false
                                                    << QByteArray(kT0Text + ".5") << false;
    QTest::newRow("stored text shorter, same start") << "file" << QByteArray("2008-04-18 09:05") << none << kT0 << true
                                                     << kT0Text << true;
    QTest::newRow("stored byte above 0x7F is larger") << "file" << QByteArray("\xB0") << none << kT0 << false
                                                     << QByteArray("\xB0") << false;
}

void TestConfig::sourceChanged()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, preset);
    QFETCH(QDateTime, firstCall);
    QFETCH(QDateTime, written);
    QFETCH(bool, changed);
    QFETCH(QByteArray, stored);
    QFETCH(bool, saved);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath("config.ini");
    SourceWatch watch(configPath);
    watch.config().FileCreateTime = preset;

    QString source;
    if (kind == "file") {
        source = dir.filePath("source.txt");
        writeFile(source, "line\r\n");
    } else if (kind == "dir") {
        source = dir.filePath("folder");
        QVERIFY(QDir().mkpath(source));
    } else if (kind == "missing") {
        source = dir.filePath("missing.txt");
    }

    if (firstCall.isValid()) {
        setWriteTime(source, firstCall);
        QVERIFY(watch.SourceChanged(source));
        // An old time on config.ini shows whether the checked call writes it again.
        setWriteTime(configPath, kLongAgo);
    }
    const bool existedBefore = QFileInfo::exists(configPath);
    const QByteArray bytesBefore = existedBefore ? readFile(configPath) : QByteArray();

    if (written.isValid())
        setWriteTime(source, written);
    QCOMPARE(watch.SourceChanged(source), changed);
    QCOMPARE(watch.config().FileCreateTime.bytes(), stored);

    if (saved) {
        QCOMPARE(readFile(configPath), createdConfig(stored));
    } else if (existedBefore) {
        QCOMPARE(readFile(configPath), bytesBefore);
        QCOMPARE(writeTime(configPath), kLongAgo);
    } else {
        QVERIFY(!QFileInfo::exists(configPath));
    }
    // Nothing else appears beside it (no temporary file left behind).
    QStringList expectedEntries;
    if (QFileInfo::exists(configPath))
        expectedEntries << "config.ini";
    if (kind == "file" || kind == "dir")
        expectedEntries << QFileInfo(source).fileName();
    expectedEntries.sort();
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
             expectedEntries);
}

// Script steps: "cN+" writes the source at kT0 + N seconds and expects SourceChanged true,
// "cN-" the same expecting false, "r" calls retryLater; "lN:V" writes it at kT0 + N and takes
// one look of the source check expecting V (M moving, C changed, U unchanged).
void TestConfig::retryLater_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArray>("stored");

    QTest::newRow("failed import is tried again") << "c0+ r c0+ c0-" << kT0Text;
    QTest::newRow("back to the version before") << "c0+ c1+ r c0- c1+" << QByteArray("2008-04-18 09:05:08");
    QTest::newRow("undoes one step only") << "c0+ c1+ r r c0-" << kT0Text;
    QTest::newRow("a false check between") << "c0+ c-5- r c0+" << kT0Text;
    QTest::newRow("before any true check") << "r c0+ c0-" << kT0Text;
    QTest::newRow("look: held still, then imported once") << "l0:M l0:C l0:U l0:U" << kT0Text;
    QTest::newRow("look: written again waits one look") << "l0:M l0:C l5:M l5:C l5:U" << QByteArray("2008-04-18 09:05:12");
    QTest::newRow("look: a failed import is offered again") << "l0:M l0:C r l0:C l0:U" << kT0Text;
}

void TestConfig::retryLater()
{
    QFETCH(QString, script);
    QFETCH(QByteArray, stored);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath("config.ini");
    const QString source = dir.filePath("source.txt");
    writeFile(source, "line\r\n");
    SourceWatch watch(configPath);
    SourceCheck check(watch);

    for (const QString &step : script.split(' ')) {
        if (step.startsWith('l')) {
            const qsizetype colon = step.indexOf(':');
            setWriteTime(source, kT0.addSecs(step.mid(1, colon - 1).toInt()));
            const SourceCheck::Verdict verdict = check.look(source);
            const char expected = step.at(colon + 1).toLatin1();
            QVERIFY2((expected == 'M' && verdict == SourceCheck::Verdict::Moving)
                         || (expected == 'C' && verdict == SourceCheck::Verdict::Changed)
                         || (expected == 'U' && verdict == SourceCheck::Verdict::Unchanged),
                     qPrintable(step));
            continue;
        }
        if (step == "r") {
            const bool had = QFileInfo::exists(configPath);
            if (had)
                setWriteTime(configPath, kLongAgo);
            const QByteArray bytes = had ? readFile(configPath) : QByteArray();
            watch.retryLater();
            QCOMPARE(QFileInfo::exists(configPath), had); // retryLater writes nothing
            if (had) {
                QCOMPARE(readFile(configPath), bytes);
                QCOMPARE(writeTime(configPath), kLongAgo);
            }
            continue;
        }
        const int seconds = step.mid(1, step.size() - 2).toInt();
        setWriteTime(source, kT0.addSecs(seconds));
        QVERIFY2(watch.SourceChanged(source) == step.endsWith('+'), qPrintable(step));
    }
    QCOMPARE(watch.config().FileCreateTime.bytes(), stored);
}

// ---- writing config.ini -------------------------------------------------------------------

void TestConfig::configUpdate_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    // The record every row saves.
    const QByteArray path = "FilePath=" + toCodePage(QStringLiteral("D:\\资料"));
    const QByteArray name = "FileName=b.txt";
    const QByteArray time = "FileCreateTime=" + kT0Text;
    const QByteArray cycle = "FileCheckCycle=30";
    const QByteArray keys = path + "\r\n" + name + "\r\n" + time + "\r\n" + cycle + "\r\n";

    QTest::newRow("no file") << QByteArray() << "[config.ini]\r\n" + keys;
    QTest::newRow("empty file") << QByteArray("") << "[config.ini]\r\n" + keys;
    QTest::newRow("other content kept, values replaced in place")
        << QByteArray("; made by hand\n"
                      "[Other]\r\n"
                      "FilePath=not this one\r\n"
                      "\r\n"
                      "[CONFIG.INI]\n"
                      "  filepath = C:\\old\r\n"
                      "; the source\n"
                      "Extra=1\r\n"
                      "FileName\t=a.txt\n"
                      "FileCreateTime=2001-01-01 00:00:00\r\n"
                      "FileCheckCycle=5\n"
                      "[Tail]\n"
                      "x=y")
        << "; made by hand\n"
           "[Other]\r\n"
           "FilePath=not this one\r\n"
           "\r\n"
           "[CONFIG.INI]\n"
           "  filepath = " + toCodePage(QStringLiteral("D:\\资料")) + "\r\n"
           "; the source\n"
           "Extra=1\r\n"
           "FileName\t=b.txt\n"
           + time + "\r\n"
           + cycle + "\n"
           "[Tail]\n"
           "x=y";
    QTest::newRow("section appended after a last line without ending")
        << QByteArray("[Other]\r\nk=v") << "[Other]\r\nk=v\r\n[config.ini]\r\n" + keys;
    QTest::newRow("section appended after LF lines")
        << QByteArray("[Other]\nk=v\n") << "[Other]\nk=v\n[config.ini]\r\n" + keys;
    QTest::newRow("a longer section name is another section")
        << QByteArray("[config.ini.bak]\r\nFilePath=x\r\n") << "[config.ini.bak]\r\nFilePath=x\r\n[config.ini]\r\n" + keys;
    QTest::newRow("missing keys after the section's last non-blank line")
        << QByteArray("[config.ini]\r\nFileName=a.txt\r\n; last\r\n\r\n\r\n[Next]\r\nFileCheckCycle=1\r\n")
        << "[config.ini]\r\n" + name + "\r\n; last\r\n" + path + "\r\n" + time + "\r\n" + cycle
               + "\r\n\r\n\r\n[Next]\r\nFileCheckCycle=1\r\n";
    QTest::newRow("empty section at the end, no line ending")
        << QByteArray("[config.ini]") << "[config.ini]\r\n" + keys;
    QTest::newRow("header with blanks") << QByteArray("  [ config.ini ]  \nFileCheckCycle=0\n")
                                        << "  [ config.ini ]  \n" + cycle + "\n" + path + "\r\n" + name + "\r\n"
                                               + time + "\r\n";
    QTest::newRow("commented key is not the key") << QByteArray("[config.ini]\r\n;FilePath=x\r\n")
                                                  << "[config.ini]\r\n;FilePath=x\r\n" + keys;
    QTest::newRow("first of two equal keys") << QByteArray("[config.ini]\r\nFileName=1\r\nFileName=2\r\n")
                                             << "[config.ini]\r\n" + name + "\r\nFileName=2\r\n" + path + "\r\n"
                                                    + time + "\r\n" + cycle + "\r\n";
    QTest::newRow("first of two sections") << QByteArray("[config.ini]\r\n[a]\r\n[config.ini]\r\nFileName=2\r\n")
                                           << "[config.ini]\r\n" + keys + "[a]\r\n[config.ini]\r\nFileName=2\r\n";
}

void TestConfig::configUpdate()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath("config.ini");
    // The rewrite must not leave the file with other permissions than the user gave it.
    const auto permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
    if (!before.isNull()) {
        writeFile(configPath, before);
        QVERIFY(QFile::setPermissions(configPath, permissions));
    }

    SourceWatch watch(configPath);
    watch.config().FilePath = toCodePage(QStringLiteral("D:\\资料"));
    watch.config().FileName = QByteArray("b.txt");
    watch.config().FileCreateTime = kT0Text;
    watch.config().FileCheckCycle = 30;
    watch.SaveConfig();
    QCOMPARE(readFile(configPath), after);
    if (!before.isNull()) {
        const auto forThisUser = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
        QCOMPARE(QFileInfo(configPath).permissions() & ~forThisUser, permissions);
    }

    // Saving again finds every key where the first save left it.
    watch.SaveConfig();
    QCOMPARE(readFile(configPath), after);
}

void TestConfig::lineBreakInValue()
{
    // A value must not smuggle a line of its own into the section.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath("config.ini");
    SourceWatch watch(configPath);
    watch.config().FileName = QByteArray("a.txt\r\nFileCheckCycle=99");
    watch.config().FilePath = QByteArray("p\0q", 3);
    watch.SaveConfig();
    QCOMPARE(readFile(configPath),
             QByteArray("[config.ini]\r\nFilePath=p\r\nFileName=a.txt\r\nFileCreateTime=\r\nFileCheckCycle=0\r\n"));
}

void TestConfig::saveFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("read-only config.ini") << "readonly";
    QTest::newRow("folder missing") << "nofolder";
    QTest::newRow("config.ini is a folder") << "folder";
}

void TestConfig::saveFails()
{
    QFETCH(QString, kind);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString configPath = dir.filePath("config.ini");
    const QByteArray old = "[config.ini]\r\nFileCreateTime=2000-01-01 00:00:00\r\n";
    if (kind == "readonly") {
        writeFile(configPath, old, kLongAgo);
        QVERIFY(QFile::setPermissions(configPath, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    } else if (kind == "nofolder") {
        configPath = dir.filePath("gone/config.ini");
    } else {
        QVERIFY(QDir().mkpath(configPath));
    }
    const QString source = dir.filePath("source.txt");
    writeFile(source, "line\r\n", kT0);

    SourceWatch watch(configPath);
    SourceCheck check(watch);
    // A version that cannot be recorded is not taken: each look offers it again (with the
    // reason), until config.ini can be written.
    QCOMPARE(check.look(source), SourceCheck::Verdict::Moving);
    for (int look = 0; look < 2; ++look) {
        QString message;
        try {
            check.look(source);
        } catch (const Error &e) {
            message = e.message();
        }
        const QString prefix = "Unable to write to " + QDir::toNativeSeparators(configPath) + ": ";
        QVERIFY2(message.startsWith(prefix) && message.size() > prefix.size(), qPrintable(message));
        QCOMPARE(watch.config().FileCreateTime.bytes(), QByteArray());
    }

    if (kind == "readonly") {
        QCOMPARE(readFile(configPath), old);
        QCOMPARE(writeTime(configPath), kLongAgo);
        QVERIFY(!(QFileInfo(configPath).permissions() & QFileDevice::WriteOwner));
    } else if (kind == "nofolder") {
        QVERIFY(!QFileInfo::exists(dir.filePath("gone")));
    } else {
        QVERIFY(QFileInfo(configPath).isDir());
    }
    const QStringList entries = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    const QStringList expected = kind == "nofolder" ? QStringList{"source.txt"} : QStringList{"config.ini", "source.txt"};
    QCOMPARE(entries, expected);
}

// ---- reading config.ini -------------------------------------------------------------------

void TestConfig::loadConfig_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no config.ini
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("filePath");
    QTest::addColumn<QByteArray>("fileName");
    QTest::addColumn<int>("cycle");

    // What the record holds before loading; kept where the file says nothing.
    const QByteArray keepPath = "keep-path", keepName = "keep-name";
    const int keepCycle = 7;

    QTest::newRow("no file") << QByteArray() << false << keepPath << keepName << keepCycle;
    QTest::newRow("all keys")
        << QByteArray("[config.ini]\r\nFilePath=D:\\data\r\nFileName=src.txt\r\nFileCreateTime=2030-01-01 00:00:00\r\n"
                      "FileCheckCycle=60\r\n")
        << true << QByteArray("D:\\data") << QByteArray("src.txt") << 60;
    QTest::newRow("Chinese names")
        << "[config.ini]\r\nFilePath=" + toCodePage(QStringLiteral("D:\\物料资料")) + "\r\nFileName="
               + toCodePage(QStringLiteral("新书目.txt")) + "\r\n"
        << true << toCodePage(QStringLiteral("D:\\物料资料")) << toCodePage(QStringLiteral("新书目.txt")) << keepCycle;
    QTest::newRow("any case, blanks around =")
        << QByteArray("[Config.INI]\nfilepath = D:\\x \n  FILENAME=\ta b.txt\nfilecheckcycle = 15\n")
        << true << QByteArray("D:\\x") << QByteArray("a b.txt") << 15;
    QTest::newRow("quoted values") << QByteArray("[config.ini]\r\nFilePath=\"D:\\q\"\r\nFileName='n.txt'\r\n")
                                   << true << QByteArray("D:\\q") << QByteArray("n.txt") << keepCycle;
    QTest::newRow("empty values") << QByteArray("[config.ini]\r\nFilePath=\r\nFileName=\r\nFileCheckCycle=\r\n")
                                  << true << QByteArray("") << QByteArray("") << 0;
    QTest::newRow("other sections ignored")
        << QByteArray("[other]\r\nFilePath=no\r\n[config.ini]\r\nFileName=yes\r\n[more]\r\nFileCheckCycle=9\r\n")
        << true << keepPath << QByteArray("yes") << keepCycle;
    QTest::newRow("commented keys ignored") << QByteArray("[config.ini]\r\n;FilePath=no\r\n; FileCheckCycle=3\r\n")
                                            << true << keepPath << keepName << keepCycle;
    QTest::newRow("no section") << QByteArray("FilePath=no\r\n") << true << keepPath << keepName << keepCycle;
    QTest::newRow("cycle with trailing text") << QByteArray("[config.ini]\nFileCheckCycle=12 s\n")
                                              << true << keepPath << keepName << 12;
    QTest::newRow("negative cycle") << QByteArray("[config.ini]\nFileCheckCycle=-5\n") << true << keepPath << keepName << -5;
    QTest::newRow("cycle not a number") << QByteArray("[config.ini]\nFileCheckCycle=abc\n")
                                        << true << keepPath << keepName << 0;
    QTest::newRow("cycle too large") << QByteArray("[config.ini]\nFileCheckCycle=99999999999\n")
                                     << true << keepPath << keepName << 0;
    QTest::newRow("long path cut to 255 bytes") << "[config.ini]\nFilePath=" + QByteArray(300, 'a') + "\n"
                                                << true << QByteArray(255, 'a') << keepName << keepCycle;
}

void TestConfig::loadConfig()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, found);
    QFETCH(QByteArray, filePath);
    QFETCH(QByteArray, fileName);
    QFETCH(int, cycle);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath("config.ini");
    if (!file.isNull())
        writeFile(configPath, file);

    SourceWatch watch(configPath);
    watch.config().FilePath = QByteArray("keep-path");
    watch.config().FileName = QByteArray("keep-name");
    watch.config().FileCheckCycle = 7;
    QCOMPARE(watch.loadConfig(), found);
    QCOMPARE(watch.config().FilePath.bytes(), filePath);
    QCOMPARE(watch.config().FileName.bytes(), fileName);
    QCOMPARE(watch.config().FileCheckCycle, cycle);
    QVERIFY(watch.config().FileCreateTime.isEmpty()); // never read back
    QCOMPARE(QFileInfo::exists(configPath), !file.isNull());
}

void TestConfig::sourceFile_data()
{
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expected");

    QTest::newRow("both empty") << "" << "" << "";
    QTest::newRow("name only") << "" << "a.txt" << "a.txt";
    QTest::newRow("separator added") << "/data/in" << "a.txt" << "/data/in/a.txt";
    QTest::newRow("separator present") << "/data/in/" << "a.txt" << "/data/in/a.txt";
    QTest::newRow("Chinese names") << QStringLiteral("/资料") << QStringLiteral("物料.txt") << QStringLiteral("/资料/物料.txt");
#ifdef Q_OS_WIN
    QTest::newRow("backslash present") << "D:\\data\\" << "a.txt" << "D:\\data\\a.txt";
    QTest::newRow("backslash added") << "D:\\data" << "a.txt" << "D:\\data\\a.txt";
#endif
}

void TestConfig::sourceFile()
{
    QFETCH(QString, filePath);
    QFETCH(QString, fileName);
    QFETCH(QString, expected);

    SourceWatch watch(path("config.ini"));
    watch.config().FilePath = toCodePage(filePath);
    watch.config().FileName = toCodePage(fileName);
    QCOMPARE(watch.sourceFile(), QDir::toNativeSeparators(expected));
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
