// The import run against SQLite and PostgreSQL (through ODBC): reading, cleaning, counters,
// error lines, and input that must not crash or hang it.
#include "data/Error.h"
#include "data/Session.h"
#include "import/ImportRun.h"
#include "import/SourceReader.h"
#include "support/PathWatch.h"
#include "support/TdsEndpoint.h"
#include "support/TestDatabase.h"
#include "text/CodePage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <thread>

using namespace chongma;
using chongma::test::ScratchDatabase;

#if defined(__SANITIZE_ADDRESS__)
#define CHONGMA_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHONGMA_ASAN
#endif
#endif

namespace {

struct Recorder : ImportSink {
    QStringList logs, errors;
    ImportCounters last;
    QList<LineReport> reports;
    int stopAfter = -1;
    CancelToken cancel;
    void clearLog() override { logs.clear(); }
    void addLog(const QString &line) override { logs << line; }
    void addError(const QString &line) override { errors << line; }
    void countersChanged(const ImportCounters &c) override { last = c; }
    void lineHandled(const LineReport &r) override { reports << r; }
    void progress(qint64 done, qint64) override
    {
        if (stopAfter >= 0 && done >= stopAfter)
            cancel.cancel();
    }
};

ImportResult runImport(TData1 &session, const QString &path, Recorder &sink, bool dryRun = false)
{
    return import::RunImport(session, ImportRequest{path, dryRun}, sink, sink.cancel);
}

QString writeSource(const QString &dir, const QByteArray &bytes)
{
    return test::writeFile(QDir(dir).filePath(QStringLiteral("src.txt")), bytes);
}

QByteArray gbk(const QString &text) { return toCodePage(text); }

QByteArray utf16(const QString &text, bool bigEndian)
{
    QByteArray bytes;
    for (const QChar c : text) {
        const auto hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        bytes.append(bigEndian ? hi : lo).append(bigEndian ? lo : hi);
    }
    return bytes;
}

// Feeds `bytes` into a FIFO from a thread of its own, so a reader of path() sees a pipe.
class FifoFeed {
public:
    FifoFeed(const QString &dir, const QByteArray &bytes) : m_path(QDir(dir).filePath(QStringLiteral("fifo")))
    {
        const QByteArray path = QFile::encodeName(m_path);
        if (::mkfifo(path.constData(), 0600) != 0)
            qFatal("mkfifo failed");
        m_writer = std::thread([path, bytes] {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr); // a reader that stops early is no crash
            const int fd = ::open(path.constData(), O_WRONLY);
            for (qsizetype done = 0; fd >= 0 && done < bytes.size();) {
                const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
                if (n <= 0)
                    break;
                done += n;
            }
            if (fd >= 0)
                ::close(fd);
        });
    }
    ~FifoFeed()
    {
        // Releases a writer still waiting for a reader, should the test have failed first.
        const QByteArray path = QFile::encodeName(m_path);
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        m_writer.join();
        ::unlink(path.constData());
    }
    QString path() const { return m_path; }

private:
    QString m_path;
    std::thread m_writer;
};

// The process's peak resident memory in KiB, after `reset` brought it down to the current one.
qint64 peakResidentKiB(bool reset = false)
{
    if (reset) {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
            return -1;
    }
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

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
        QTest::newRow("NUL first") << QByteArray("\0a\n", 3) << L{};
        QTest::newRow("CR last") << QByteArray("a\r") << L{"a"};
        QTest::newRow("blanks and tabs kept") << QByteArray(" a\t \r\n\tb") << L{" a\t ", "\tb"};
        const qsizetype chunk = import::SourceReader::kChunkSize;
        QTest::newRow("CR LF split between chunks")
            << QByteArray(chunk - 1, 'a') + "\r\nb" << L{QByteArray(chunk - 1, 'a'), "b"};
        QTest::newRow("CR ending a chunk, no LF after")
            << QByteArray(chunk - 1, 'a') + "\rb" << L{QByteArray(chunk - 1, 'a'), "b"};
        QTest::newRow("line over several chunks")
            << "a\n" + QByteArray(3 * chunk + 7, 'x') + "\nb" << L{"a", QByteArray(3 * chunk + 7, 'x'), "b"};
        QTest::newRow("NUL in a later chunk")
            << QByteArray(chunk + 5, 'a') + QByteArray("\0b\nc", 4) << L{QByteArray(chunk + 5, 'a')};
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

    void encodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<import::SourceEncoding>("asked");
        QTest::addColumn<QList<QByteArray>>("lines"); // code page 936
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("converted");
        QTest::addColumn<qint64>("nul");     // offset of the NUL that ended the text, -1 for none
        QTest::addColumn<qint64>("notRead"); // bytes after it, of a regular file
        using L = QList<QByteArray>;
        using E = import::SourceEncoding;
        const auto u8 = [](const QString &t) { return t.toUtf8(); };
        const auto le = [](const QString &t) { return utf16(t, false); };
        const auto be = [](const QString &t) { return utf16(t, true); };
        const QByteArray bomLE("\xFF\xFE"), bomBE("\xFE\xFF"), bom8("\xEF\xBB\xBF");
        const qsizetype chunk = import::SourceReader::kChunkSize;

        QTest::newRow("UTF-8 Chinese")
            << u8("6901 测试材料\r\n某供应商") << E::Auto << L{gbk("6901 测试材料"), gbk("某供应商")} << "UTF-8"
            << true << -1LL << 0LL;
        QTest::newRow("UTF-8 with a mark")
            << bom8 + u8("甲\n乙") << E::Auto << L{gbk("甲"), gbk("乙")} << "UTF-8 (BOM)" << true << -1LL << 0LL;
        QTest::newRow("UTF-8, mark, nothing but ASCII")
            << bom8 + "ab" << E::Auto << L{"ab"} << "UTF-8 (BOM)" << true << -1LL << 0LL;
        QTest::newRow("UTF-16LE with a mark")
            << bomLE + le("a\r\n测试") << E::Auto << L{"a", gbk("测试")} << "UTF-16LE" << true << -1LL << 0LL;
        QTest::newRow("UTF-16BE with a mark")
            << bomBE + be("测试\r\nb\r\n") << E::Auto << L{gbk("测试"), "b"} << "UTF-16BE" << true << -1LL << 0LL;
        QTest::newRow("ASCII is code page 936, unconverted")
            << QByteArray("abc\r\ndef") << E::Auto << L{"abc", "def"} << "GBK" << false << -1LL << 0LL;
        QTest::newRow("GBK Chinese passes through")
            << gbk("测试材料\n某供应商") << E::Auto << L{gbk("测试材料"), gbk("某供应商")} << "GBK" << false << -1LL
            << 0LL;
        QTest::newRow("bytes invalid everywhere pass through as 936")
            << QByteArray("\x81\x20\xff\x41\xfe\r\n\x80") << E::Auto << L{"\x81\x20\xff\x41\xfe", "\x80"}
            << "GBK" << false << -1LL << 0LL;
        // U+1F600 and U+D55C have no place in code page 936; one 0xFF per character.
        QTest::newRow("UTF-8: characters GBK lacks")
            << u8(QStringLiteral("x\U0001F600\uD55Cy 甲")) << E::Auto << L{"x\xFF\xFFy " + gbk("甲")} << "UTF-8"
            << true << -1LL << 0LL;
        QTest::newRow("UTF-8 after a mark: broken sequences")
            << bom8 + "a\xC3(b\xED\xA0\x80" "c\xE6\xB5" << E::Auto << L{"a\xFF(b\xFF\xFF\xFF" "c\xFF"}
            << "UTF-8 (BOM)" << true << -1LL << 0LL;
        QTest::newRow("UTF-8 character split between chunks")
            << QByteArray(chunk - 1, 'a') + u8("测\r\n试") << E::Auto
            << L{QByteArray(chunk - 1, 'a') + gbk("测"), gbk("试")} << "UTF-8" << true << -1LL << 0LL;
        QTest::newRow("forced GBK keeps UTF-8 bytes")
            << bom8 + u8("测试") << E::Gbk << L{bom8 + u8("测试")} << "GBK" << false << -1LL << 0LL;
        QTest::newRow("forced UTF-16LE, no mark")
            << le("甲\n") << E::Utf16LE << L{gbk("甲")} << "UTF-16LE" << true << -1LL << 0LL;
        QTest::newRow("UTF-16LE: lone surrogate, half a code unit")
            << bomLE + le("a") + QByteArray("\x00\xD8", 2) + le("b") + "\x41" << E::Auto << L{"a\xFF" "b\xFF"}
            << "UTF-16LE" << true << -1LL << 0LL;
        QTest::newRow("UTF-16 U+0000 ends the text")
            << bomLE + le("ab\ncd") + QByteArray(2, '\0') + le("ef") << E::Auto << L{"ab", "cd"} << "UTF-16LE" << true
            << 12LL << 4LL;
        QTest::newRow("UTF-16 CR LF split between chunks")
            << bomLE + le(QString(chunk / 2 - 1, u'a') + QStringLiteral("\r\nb")) << E::Auto
            << L{QByteArray(chunk / 2 - 1, 'a'), "b"} << "UTF-16LE" << true << -1LL << 0LL;
        QTest::newRow("NUL report")
            << QByteArray("ab\ncd\0efgh", 10) << E::Auto << L{"ab", "cd"} << "GBK" << false << 5LL << 4LL;
        QTest::newRow("UTF-8 after the NUL is not looked at")
            << QByteArray("abc\0", 4) + u8("测") << E::Auto << L{"abc"} << "GBK" << false << 3LL << 3LL;
    }

    void encodings()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QFETCH(QByteArray, bytes);
        QFETCH(import::SourceEncoding, asked);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QString, name);
        QFETCH(bool, converted);
        QFETCH(qint64, nul);
        QFETCH(qint64, notRead);
        QTemporaryDir dir;
        const QString path = writeSource(dir.path(), bytes);
        for (const bool pipe : {false, true}) {
            std::optional<FifoFeed> feed;
            if (pipe)
                feed.emplace(dir.path(), bytes);
            import::SourceReader reader(pipe ? feed->path() : path, asked);
            QCOMPARE(reader.canRewind(), !pipe);
            QCOMPARE(reader.encodingName(), name);
            QCOMPARE(reader.converted(), converted);
            for (int pass = 0; pass < (pipe ? 1 : 2); ++pass) {
                if (pass == 1)
                    QVERIFY(reader.rewind());
                QList<QByteArray> read;
                QByteArray line;
                while (reader.readLine(line))
                    read << line;
                QCOMPARE(read, lines);
                QCOMPARE(reader.nulOffset(), nul);
                if (pipe) {
                    QCOMPARE(reader.bytesNotRead(), qint64(nul < 0 ? 0 : -1));
                    QCOMPARE(reader.fileSize(), qint64(-1));
                } else {
                    QCOMPARE(reader.bytesNotRead(), notRead);
                    QCOMPARE(reader.bytesRead() + notRead, qint64(bytes.size()));
                }
            }
        }
    }

    void neverHoldsTheWholeInput()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
        QElapsedTimer clock;
        clock.start();
        import::SourceReader zero(QStringLiteral("/dev/zero"));
        QByteArray line;
        QVERIFY(!zero.readLine(line));
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(zero.nulOffset(), qint64(0));
        QCOMPARE(zero.bytesNotRead(), qint64(-1));

        // 48 MB of UTF-8 lines, written a piece at a time, read line by line.
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("big.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray one = QStringLiteral("6901234567890 M-1 5 12.50 [2008-04-18] 测试材料 [!] 某供应商\r\n").toUtf8();
        const QByteArray piece = one.repeated(1000);
        const qint64 pieces = 48 * 1024 * 1024 / piece.size();
        for (qint64 i = 0; i < pieces; ++i)
            QCOMPARE(file.write(piece), qint64(piece.size()));
        file.close();

        const qint64 before = peakResidentKiB(true);
        if (before < 0)
            QSKIP("the peak resident memory cannot be reset here");
        import::SourceReader big(file.fileName());
        const QByteArray expected = gbk(QString::fromUtf8(one.chopped(2)));
        qint64 lines = 0;
        while (big.readLine(line)) {
            if (line != expected)
                QFAIL(qPrintable(QStringLiteral("line %1 differs").arg(lines + 1)));
            ++lines;
        }
        QCOMPARE(lines, pieces * 1000);
        QCOMPARE(big.bytesRead(), file.size());
#ifdef CHONGMA_ASAN
        QSKIP("AddressSanitizer's own memory (shadow, freed blocks held back) is no measure of the reader's");
#endif
        const qint64 grown = peakResidentKiB() - before;
        QVERIFY2(grown < 16 * 1024, qPrintable(QStringLiteral("peak memory grew by %1 KiB").arg(grown)));
    }

    // Lines whose codes a collation may take as one go to the same connection: their keys hash alike.
    void codesOneCollationMayJoinShareAKey_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("other");
        QTest::addColumn<bool>("same");
        QTest::newRow("case") << QByteArray("ab12 M 1") << QByteArray("AB12\tM 1") << true;
        QTest::newRow("full width") << QByteArray("AB12 M") << gbk(QStringLiteral("ａｂ１２ M")) << true;
        QTest::newRow("accent") << QByteArray("e1 M") << gbk(QStringLiteral("é1 M")) << true;
        QTest::newRow("a blank at the end") << QByteArray("ab\x0b M") << QByteArray("AB M") << true;
        QTest::newRow("past the code's 20 bytes") << QByteArray(25, 'A') << QByteArray(20, 'a') + "B M" << true;
        QTest::newRow("other code") << QByteArray("ab12 M") << QByteArray("ab13 M") << false;
    }

    void codesOneCollationMayJoinShareAKey()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, other);
        QFETCH(bool, same);
        CodePageDecoder decoder;
        const std::size_t a = import::codeKeyHash(CodeOfLine(line), decoder);
        QCOMPARE(a == import::codeKeyHash(CodeOfLine(other), decoder), same);
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
        QTest::addColumn<QString>("note"); // a run-log line between the start and finish lines
        QTest::newRow("new, present, rejected") << kNew + "\r\n" + kPresent + "\r\n" + kRejected << "3,1,1,0,0" << 1 << 0 << QString();
        QTest::newRow("empty file") << QByteArray() << "0,0,0,0,0" << 0 << 0 << QString();
        QTest::newRow("blank lines only") << QByteArray("\r\n  \r\n\t\n\n") << "0,0,0,0,0" << 0 << 0 << QString();
        QTest::newRow("same new code twice") << kNew + "\n" + kNew + "\n" << "2,1,1,0,0" << 1 << 0 << QString();
        QTest::newRow("last line without a break") << kPresent + "\n" + kNew << "2,1,1,0,0" << 1 << 0 << QString();
        QTest::newRow("a line of quotes counts, is rejected") << QByteArray("\"\"\"\n") + kNew << "2,1,0,0,0" << 1 << 0 << QString();
        QTest::newRow("failing insert")
            << QByteArray("7001 M 1 bad [d] n [!] s\n") + kNew << "2,1,0,1,0" << 1 << 2 << QString();
        QTest::newRow("name not valid GBK") << QByteArray("7002 M 1 1 [d] \x81\x20x [!] s") << "1,0,0,1,0" << 0 << 2 << QString();
        QTest::newRow("code not valid GBK") << QByteArray("70\xff M 1 1 [d] n [!] s") << "1,0,0,1,0" << 0 << 2 << QString();
        QTest::newRow("present code with a bad name is present")
            << QByteArray("6902 M 1 1 [d] \x81\x20x [!] s") << "1,0,1,0,0" << 0 << 0 << QString();
        QTest::newRow("UTF-16LE file") << QByteArray("\xFF\xFE") + utf16(fromCodePage(kNew + "\r\n" + kPresent), false)
                                       << "2,1,1,0,0" << 1 << 0 << "源文件编码:UTF-16LE，已转换为GBK";
        QTest::newRow("UTF-8 file without a mark") << (fromCodePage(kNew) + "\n").toUtf8() << "1,1,0,0,0" << 1 << 0
                                                   << "源文件编码:UTF-8，已转换为GBK";
        QTest::newRow("UTF-8 name that code page 936 cannot hold")
            << QStringLiteral("7003 M 1 1 [d] 한국어 [!] s").toUtf8() << "1,0,0,1,0" << 0 << 2 << "源文件编码:UTF-8，已转换为GBK";
        // Held whole, such a line took twice its size in memory; it is one rejected line, and an
        // error line says why.
        QTest::newRow("a line longer than the reader holds is rejected")
            << kNew + "\n  6905 M 1 1 [d] " + QByteArray(import::SourceReader::kMaxLineBytes, 'x') + " [!] s\n" + kPresent
            << "3,1,1,0,0" << 1 << 1 << QString();
        QTest::newRow("a NUL ends the text, and says so") << kNew + "\n" + QByteArray("\0", 1) + "7004 lost line\n"
                                                          << "1,1,0,0,0" << 1 << 0 << "源文件第52字节为NUL，其后15字节未读入";
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
        QFETCH(QString, note);
        test::PathWatch watch(session);
        Recorder dry;
        runImport(session, path, dry, true);
        if (!QByteArray(QTest::currentDataTag()).contains("failing insert"))
            QCOMPARE(::counters(dry.last), counters);
        QCOMPARE(db.materialCount(), 1);
        const qint64 dryRan = watch.ran();

        Recorder sink;
        sink.logs << QStringLiteral("from before");
        const ImportResult result = runImport(session, path, sink);
        QVERIFY(result.ending.isDone());
        // Both runs went through the fast path, every statement of them.
        QCOMPARE(session.pathName(), test::fastPathName(backend));
        QVERIFY(dryRan > 0);
        QVERIFY2(watch.ran() > dryRan, qPrintable(QStringLiteral("%1 then %2").arg(dryRan).arg(watch.ran())));
        QVERIFY(watch.ran() >= watch.statements());
        QVERIFY(watch.alwaysRose());
        QCOMPARE(::counters(sink.last), counters);
        QCOMPARE(db.materialCount(), 1 + inserted);
        // A file of one batch is settled on the run's own connection: no other is opened for it.
        QCOMPARE(watch.saw(QStringLiteral("insert into BD_Material")), inserted > 0);
        QCOMPARE(sink.errors.size(), errorLines);
        // The run log was cleared: start, what is worth a note, finish.
        QCOMPARE(sink.logs.size(), note.isEmpty() ? 2 : 3);
        QVERIFY(sink.logs.first().startsWith(QStringLiteral("开始时间:")));
        QVERIFY(sink.logs.last().startsWith(QStringLiteral("完成时间:")));
        if (!note.isEmpty())
            QCOMPARE(sink.logs.at(1), note);
        QCOMPARE(sink.logs.at(0).size(), 5 + 19);
        QCOMPARE(sink.last.sum, sink.last.num + sink.last.exist + sink.last.error + sink.last.rejected);
        for (const LineReport &r : std::as_const(sink.reports))
            QVERIFY2(r.text.size() <= import::SourceReader::kMaxLineBytes, qPrintable(QString::number(r.line)));
    }

    // Batches give exactly what the line-by-line run gives: counters, error lines with each
    // failing line's own statement, outcomes and rows, also when a batch fails and is replayed.
    void batchesMatchTheLineByLineRun_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<bool>("dryRun");
        QTest::addColumn<bool>("codeIndex"); // BD_MCode indexed: lookups there, else in a copy of the codes
        QTest::addColumn<QString>("codeType");
        QTest::addColumn<int>("filler"); // more stored rows, of codes no line has
        const QString plain = QStringLiteral("varchar(20)");
        const QString caseBlind = QStringLiteral("varchar(20) collate nocase");
        for (quint32 seed : {7u, 8u, 9u})
            QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed << false << false << plain << 0;
        QTest::newRow("dry run") << 10u << true << false << plain << 0;
        QTest::newRow("index on BD_MCode") << 7u << false << true << plain << 0;
        QTest::newRow("dry run, index on BD_MCode") << 10u << true << true << plain << 0;
        // The copy of the codes compares them as BD_MCode does.
        QTest::newRow("case-blind codes (SQLite)") << 8u << false << false << caseBlind << 0;
        QTest::newRow("codes blind to blanks at the end (SQLite)")
            << 9u << false << false << QStringLiteral("varchar(20) collate rtrim") << 0;
        // SQLite copies only the stored codes that match the lines'.
        QTest::newRow("few lines into many rows") << 7u << false << false << plain << 1500;
        QTest::newRow("dry run, few lines into many rows") << 10u << true << false << plain << 1500;
        QTest::newRow("few lines into many case-blind rows (SQLite)") << 8u << false << false << caseBlind << 1500;
        // '0105' finds the stored 105, and once inserted so does '106'.
        QTest::newRow("codes of a numeric column (SQLite)") << 7u << false << false << QStringLiteral("integer") << 0;
    }

    void batchesMatchTheLineByLineRun()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(quint32, seed);
        QFETCH(bool, dryRun);
        QFETCH(bool, codeIndex);
        QFETCH(QString, codeType);
        QFETCH(int, filler);
        if (codeType != QLatin1String("varchar(20)") && backend != QLatin1String("sqlite"))
            QSKIP("SQLite's collations");
        QRandomGenerator random(seed);
        QByteArray source;
        for (int i = 0; i < 400; ++i) {
            const int kind = random.bounded(20);
            const bool numeric = codeType == QLatin1String("integer");
            const char *prefix = random.bounded(4) == 0 ? (numeric ? "0" : "c") : (numeric ? "" : "C");
            const QByteArray code = prefix + QByteArray::number(100 + random.bounded(60));
            if (kind == 0)
                source += "short\n";
            else if (kind == 1)
                source += code + " M 1 1.0 [d] no marker s\n";
            else if (kind == 2)
                source += code + " M 1 bad [d] refused by the database [!] s\n";
            else if (kind == 3)
                source += code + " M 1 1.0 [d] \x81\x20 not GBK [!] s\n";
            else
                source += code + " M-" + QByteArray::number(i) + " 1 2.5 [2024-01-01] " + gbk(QStringLiteral("名称")) + " [!] s\n";
        }
        QList<QStringList> runs;
        for (qsizetype batchLines : {qsizetype(1), qsizetype(50), ImportRequest().batchLines}) {
            ScratchDatabase db(backend);
            db.createMaterials(codeType);
            if (codeIndex)
                db.exec(QStringLiteral("create index material_code on BD_Material (BD_MCode)"));
            db.exec(QStringLiteral(
                "insert into BD_Material (BD_MCode) values ('C101'), ('C102'), ('c103'), ('C104 '), ('0105')"));
            db.insertFillerMaterials(filler);
            TData1 session(db.link());
            test::PathWatch watch(session);
            Recorder sink;
            ImportRequest request{writeSource(db.dir(), source), dryRun};
            request.batchLines = batchLines;
            const ImportResult result = import::RunImport(session, request, sink, sink.cancel);
            QVERIFY(result.ending.isDone());
            QCOMPARE(watch.saw(QStringLiteral("insert or ignore into temp.chongma_wanted")),
                     filler > 0 && db.isSqlite() && batchLines > 1);
            // Batches wherever the codes compare as text (seen here where they run on this session).
            if (!dryRun && db.isSqlite())
                QCOMPARE(watch.saw(QStringLiteral("insert into BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, "
                                                  "Pur_SupName, BD_MPUBDATE) select")),
                         batchLines > 1 && codeType != QLatin1String("integer"));
            QStringList seen{::counters(sink.last)};
            seen << sink.errors;
            for (const LineReport &r : std::as_const(sink.reports))
                seen << QStringLiteral("%1:%2").arg(r.line).arg(int(r.outcome));
            for (const QVariantList &row : db.rows(QStringLiteral("select BD_MCode, BD_MNo, BD_MName, BD_MPRICE from BD_Material "
                                                                  "order by BD_MCode, BD_MNo")))
                seen << row.at(0).toString() + u'|' + row.at(1).toString() + u'|' + row.at(2).toString() + u'|' + row.at(3).toString();
            runs << seen;
        }
        QVERIFY(runs.at(0).first() != QStringLiteral("0,0,0,0,0"));
        QCOMPARE(runs.at(1), runs.at(0));
        QCOMPARE(runs.at(2), runs.at(0));
    }

    // What the driver records of each parameter, run after run of the import's statements as
    // its values grow: never shorter than the value it carries, and the same from one run to
    // the next (FreeTDS keeps a statement's first declaration for every later run). On the
    // SQLite row, which declares nothing, the import runs through FreeTDS against the recording
    // TDS endpoint instead.
    void declarationsHoldEveryValue()
    {
        QFETCH_GLOBAL(QString, backend);
        QByteArray source;
        for (int i = 0; i < 6000; ++i) {
            source += i < 2500 ? "9" + QByteArray::number(i) + " M 5 5 [d] n [!] s\n"
                               : "9" + QByteArray::number(i) + " MAT-2008-" + QByteArray::number(i) + " 5 12.50 [2008-04-18] "
                                     + gbk(QStringLiteral("较长的材料名称%1").arg(i)) + " [!] " + gbk(QStringLiteral("某某供应商")) + "\n";
        }
        QTemporaryDir dir;
        const QString path = writeSource(dir.path(), source);
        std::unique_ptr<ScratchDatabase> db;
        std::unique_ptr<test::TdsEndpoint> endpoint;
        DataLink link;
        if (backend != QLatin1String("sqlite")) {
            db = std::make_unique<ScratchDatabase>(backend);
            db->exec(QStringLiteral("create table BD_Material (BD_MCode varchar(20), BD_MNo varchar(30), BD_MName varchar(200), "
                                    "BD_MPRICE varchar(50), Pur_SupName varchar(48), BD_MPUBDATE varchar(50))"));
            link = db->link();
            // Where psqlODBC writes the values into the statement nothing is declared: the
            // declarations are those of a connection that asks for statements prepared on the server.
            link.odbcConnection += QStringLiteral(";UseServerSidePrepare=1");
        } else {
#if defined(__SANITIZE_THREAD__)
            QSKIP("ThreadSanitizer does not let a threaded program start a process; the plain build runs it");
#endif
            endpoint = std::make_unique<test::TdsEndpoint>(QJsonObject{{QStringLiteral("rules"), QJsonArray{}}});
            if (!endpoint->isRunning())
                QSKIP(qPrintable(endpoint->why()));
            link = endpoint->link();
        }
        TData1 session(link);
        QHash<QString, std::vector<ParameterDeclaration>> first;
        int checked = 0;
        QStringList faults;
        session.setExecutionObserver([&](const QString &sql, const QVariantList &values,
                                         const std::vector<ParameterDeclaration> &declared) {
            if (declared.size() != size_t(values.size())) {
                faults << QStringLiteral("%1 values, %2 declarations: %3").arg(values.size()).arg(declared.size()).arg(sql.left(60));
                return;
            }
            for (qsizetype i = 0; i < values.size(); ++i) {
                if (values.at(i).metaType().id() != QMetaType::QString || values.at(i).isNull())
                    continue;
                ++checked;
                // Only the long types are unlimited; a short one sized 0 is sized by the driver
                // from whichever value comes first (SQL_WLONGVARCHAR -10, SQL_LONGVARCHAR -1).
                const bool longForm = declared[size_t(i)].sqlType == -10 || declared[size_t(i)].sqlType == -1;
                const qint64 size = declared[size_t(i)].columnSize;
                if (!longForm && size < values.at(i).toString().size())
                    faults << QStringLiteral("'%1' declared %2: %3").arg(values.at(i).toString()).arg(size).arg(sql.left(60));
            }
            const auto seen = first.constFind(sql);
            if (seen == first.constEnd())
                first.insert(sql, declared);
            else if (seen->size() != declared.size()
                     || !std::equal(declared.begin(), declared.end(), seen->begin(), [](const auto &a, const auto &b) {
                            return a.sqlType == b.sqlType && a.columnSize == b.columnSize;
                        }))
                faults << QStringLiteral("declared otherwise than before: %1").arg(sql.left(60));
        });
        Recorder sink;
        ImportRequest request{path};
        request.connections = 1; // the observed session's own
        const ImportResult result = import::RunImport(session, request, sink, sink.cancel);
        QVERIFY2(result.ending.isDone(), qPrintable(result.ending.message));
        QCOMPARE(::counters(sink.last), QStringLiteral("6000,6000,0,0,0"));
        QVERIFY2(faults.isEmpty(), qPrintable(faults.mid(0, 5).join(u'\n')));
        QVERIFY(checked > 6000 * 6);
    }

    // Without an index on BD_MCode each connection copies the stored codes first: a file with
    // fewer lines than the table has rows settles on the run's own connection, one copy.
    void copiesOfTheCodesOnlyWherePaid_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("ownConnection");
        QTest::newRow("a table larger than the file") << 1000 << true;
        QTest::newRow("a file larger than the table") << 100 << false;
    }

    void copiesOfTheCodesOnlyWherePaid()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(int, stored);
        QFETCH(bool, ownConnection);
        ScratchDatabase db(backend);
        db.createMaterials();
        db.insertFillerMaterials(stored);
        QByteArray source;
        for (int i = 0; i < 400; ++i)
            source += QByteArray::number(5000 + i) + " M 1 1 [d] n [!] s\n";
        TData1 session(db.link());
        test::PathWatch watch(session);
        Recorder sink;
        ImportRequest request{writeSource(db.dir(), source)};
        request.batchLines = 50;
        QVERIFY(import::RunImport(session, request, sink, sink.cancel).ending.isDone());
        QCOMPARE(::counters(sink.last), QStringLiteral("400,400,0,0,0"));
        QCOMPARE(watch.saw(QStringLiteral("insert into BD_Material")), ownConnection || db.isSqlite());
    }

    // The codes copied are those of the file as it was read first: a line rewritten since,
    // whose code is stored, is still found there and not inserted again.
    void aLineRewrittenDuringTheRunMeetsItsStoredRow()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        db.insertFillerMaterials(25000);
        QByteArray source;
        for (int i = 0; i < 8000; ++i)
            source += 'N' + QByteArray::number(1000 + i) + " M 1 1 [d] n [!] s\n";
        const QString path = writeSource(db.dir(), source);
        const QByteArray line = "N8000 M";
        const qsizetype at = source.indexOf(line); // far beyond what the first batch reads
        QVERIFY(at > 2 * import::SourceReader::kChunkSize);
        struct Rewriter : Recorder {
            QString path;
            qsizetype at = 0;
            void lineHandled(const LineReport &r) override
            {
                Recorder::lineHandled(r);
                if (r.line != 1)
                    return;
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(at) && file.write("F4000") == 5);
            }
        } sink;
        sink.path = path;
        sink.at = at;
        TData1 session(db.link());
        ImportRequest request{path};
        request.batchLines = 100;
        QVERIFY(import::RunImport(session, request, sink, sink.cancel).ending.isDone());
        QCOMPARE(::counters(sink.last), QStringLiteral("8000,7999,1,0,0"));
        QCOMPARE(
            db.rows(QStringLiteral("select count(*) from BD_Material where BD_MCode = 'F4000'")).value(0).value(0).toInt(),
            1);
    }

    // PostgreSQL took a batch's codes for most of a table analysed while empty, and read the
    // whole table for each batch's lookup.
    void lookupsUseTheIndex()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        if (!db.isPostgres())
            QSKIP("PostgreSQL's planner");
        db.createMaterials();
        db.exec(QStringLiteral("create index bd_material_code on BD_Material (BD_MCode)"));
        db.exec(QStringLiteral("analyze BD_Material"));
        // Building the index scanned the table, counted whenever this connection's statistics
        // reach the server (under load, before the count below): made to reach it now, the
        // baseline.
        db.rows(QStringLiteral("select pg_stat_force_next_flush()"));
        const auto seqScansNow = [&] {
            return db.rows(QStringLiteral("select seq_scan from pg_stat_user_tables where relname = 'bd_material'"))
                .value(0)
                .value(0)
                .toLongLong();
        };
        const qint64 seqScansBefore = seqScansNow();
        QByteArray source;
        for (int i = 0; i < 3000; ++i)
            source += QByteArray::number(10000 + i) + " M 1 1 [d] n [!] s\n";
        ImportRequest request{writeSource(db.dir(), source)};
        request.batchLines = 100;
        request.connections = 1;
        {
            TData1 session(db.link());
            Recorder sink;
            QVERIFY(import::RunImport(session, request, sink, sink.cancel).ending.isDone());
            QCOMPARE(::counters(sink.last), QStringLiteral("3000,3000,0,0,0"));
            // The session's own setting is back for what it runs next.
            QCOMPARE(session.select(QStringLiteral("show enable_seqscan"), {})
                         .value(0, QStringLiteral("enable_seqscan"))
                         .toString(),
                     QStringLiteral("on"));
        }
        // The server counts a session's scans once it has closed.
        qint64 scans = 0, seqScans = -1;
        for (int tries = 0; tries < 100 && scans < 30; ++tries, QThread::msleep(100)) {
            const QVariantList row = db.rows(QStringLiteral("select seq_scan, idx_scan from pg_stat_user_tables "
                                                            "where relname = 'bd_material'"))
                                         .value(0);
            seqScans = row.value(0).toLongLong();
            scans = seqScans + row.value(1).toLongLong();
        }
        QVERIFY2(scans >= 30, qPrintable(QString::number(scans)));
        QCOMPARE(seqScans, seqScansBefore);
    }

    void failedInsertLines()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        Recorder sink;
        sink.errors << QStringLiteral("A"); // what the search left in the list stays before
        runImport(session, writeSource(db.dir(), "7001 M-9 1 bad [2001-02-03] n [!] s\n"), sink);
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
        runImport(session, writeSource(db.dir(), gbk(QStringLiteral("8001 甲-1 7 9.90 [2024-05-06] ") + name + QStringLiteral(" [!] ") + supplier)), sink);
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
        const ImportResult result = runImport(session, path, sink);
        QVERIFY(result.ending.isFailed());
        QCOMPARE(result.ending.message, QStringLiteral("Cannot open file ") + path + reason);
        QCOMPARE(sink.logs.size(), 1); // the start line only
        QVERIFY(sink.logs.at(0).startsWith(QStringLiteral("开始时间:")));
    }

    // A stop ends the run at the next batch (the next line, line by line); what was committed
    // stays and the counters say how far it got.
    void stopsAtABatchBoundary_data()
    {
        QTest::addColumn<qsizetype>("batchLines");
        QTest::addColumn<int>("connections");
        QTest::newRow("line by line") << qsizetype(1) << 1;
        QTest::newRow("in batches") << qsizetype(100) << 1;
        // Each connection stops at its next batch; the counters say what was done.
        QTest::newRow("in batches on four connections") << qsizetype(10) << 4;
    }

    void stopsAtABatchBoundary()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(qsizetype, batchLines);
        QFETCH(int, connections);
        ScratchDatabase db(backend);
        db.createMaterials();
        TData1 session(db.link());
        const int total = connections > 1 ? 5000 : 500;
        QByteArray source;
        for (int i = 0; i < total; ++i)
            source += QByteArray::number(9000 + i) + " M 1 1 [d] n [!] s\n";
        Recorder sink;
        sink.stopAfter = 2;
        ImportRequest request{writeSource(db.dir(), source)};
        request.batchLines = batchLines;
        request.connections = connections;
        const ImportResult result = import::RunImport(session, request, sink, sink.cancel);
        QVERIFY(result.ending.isStopped());
        QCOMPARE(sink.logs.last(), QStringLiteral("导入已停止"));
        QCOMPARE(db.materialCount(), sink.last.num); // what was committed stays, and is counted
        QCOMPARE(sink.last.wdr, total - sink.last.num);
        if (connections > 1 && db.isSqlite()) // SQLite settles on one connection all the same
            connections = 1;
        if (connections == 1)
            QCOMPARE(sink.last.num, batchLines == 1 ? 2 : qint32(batchLines));
        else // stopped well before the end
            QVERIFY2(sink.last.num > 0 && sink.last.num < total / 2, qPrintable(QString::number(sink.last.num)));
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
        const ImportResult result = runImport(session, writeSource(db.dir(), source), sink);
        QVERIFY(result.ending.isDone());
        QVERIFY2(clock.elapsed() < 60000, "the run took too long");
        const ImportCounters &c = sink.last;
        QCOMPARE(c.sum, c.num + c.exist + c.error + c.rejected);
        QCOMPARE(c.wdr, 0);
        if (kind == QLatin1String("dbcs")) {
            QCOMPARE(c.error, 2000); // never inserted changed
            QCOMPARE(db.materialCount(), 0);
        }
        if (kind == QLatin1String("long")) // longer than the reader holds: rejected unread
            QCOMPARE(::counters(c) + QStringLiteral(",%1").arg(c.rejected), QStringLiteral("2,1,0,0,0,1"));
        if (kind == QLatin1String("blank"))
            QCOMPARE(c.sum, 0);
    }
};

QTEST_GUILESS_MAIN(TestImportRun)
#include "tst_importrun.moc"
