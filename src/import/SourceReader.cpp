#include "import/SourceReader.h"

#include "data/Error.h"
#include "data/Job.h"
#include "import/MaterialParser.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cstring>
#include <optional>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace chongma::import {

namespace {

// What a decoder hands on for an ill-formed sequence, and what code page 936 gets in its place:
// 0xFF is no valid byte there, so the line later fails as invalid text instead of being changed.
constexpr char32_t kInvalid = 0xFFFFFFFF;
constexpr char kNotInCodePage = '\xFF';

Error cannotOpen(const QString &path, const QString &reason)
{
    return Error(QStringLiteral("Cannot open file %1: %2").arg(path, reason));
}

// UTF-8 by the table of well-formed sequences (no overlong forms, surrogates or values past
// U+10FFFF). A broken sequence gives one kInvalid and the byte that broke it is read again, so
// one bad byte never swallows the good text after it. Keeps its place across chunks.
class Utf8Decoder {
public:
    template <typename Out>
    void feed(const char *data, qsizetype size, Out &&out)
    {
        for (qsizetype i = 0; i < size; ++i) {
            const auto b = static_cast<uchar>(data[i]);
            if (m_need == 0) {
                if (b < 0x80)
                    out(char32_t(b));
                else
                    start(b, out);
            } else if (b >= m_low && b <= m_high) {
                m_code = (m_code << 6) | (b & 0x3Fu);
                m_low = 0x80;
                m_high = 0xBF;
                if (--m_need == 0)
                    out(m_code);
            } else {
                m_need = 0;
                out(kInvalid);
                --i;
            }
        }
    }

    // The text ended: a sequence left open is ill-formed.
    template <typename Out>
    void finish(Out &&out)
    {
        if (m_need != 0) {
            m_need = 0;
            out(kInvalid);
        }
    }

private:
    template <typename Out>
    void start(uchar b, Out &out)
    {
        m_low = 0x80;
        m_high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            m_need = 1;
            m_code = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            m_need = 2;
            m_code = b & 0x0Fu;
            if (b == 0xE0)
                m_low = 0xA0; // overlong below
            else if (b == 0xED)
                m_high = 0x9F; // surrogates above
        } else if (b >= 0xF0 && b <= 0xF4) {
            m_need = 3;
            m_code = b & 0x07u;
            if (b == 0xF0)
                m_low = 0x90;
            else if (b == 0xF4)
                m_high = 0x8F; // past U+10FFFF above
        } else {
            out(kInvalid);
        }
    }

    char32_t m_code = 0;
    int m_need = 0;
    uchar m_low = 0x80;
    uchar m_high = 0xBF;
};

// UTF-16 from whole code units (the caller keeps an odd byte back); a lone surrogate is ill-formed.
class Utf16Decoder {
public:
    explicit Utf16Decoder(bool bigEndian = false) : m_bigEndian(bigEndian) {}

    template <typename Out>
    void feed(const char *data, qsizetype size, Out &&out)
    {
        for (qsizetype i = 0; i + 1 < size; i += 2) {
            const auto first = static_cast<uchar>(data[i]);
            const auto second = static_cast<uchar>(data[i + 1]);
            const auto unit = static_cast<char16_t>(m_bigEndian ? (first << 8) | second : (second << 8) | first);
            if (m_high != 0) {
                const char16_t high = std::exchange(m_high, char16_t(0));
                if (QChar::isLowSurrogate(unit)) {
                    out(QChar::surrogateToUcs4(high, unit));
                    continue;
                }
                out(kInvalid);
            }
            if (QChar::isHighSurrogate(unit))
                m_high = unit;
            else if (QChar::isLowSurrogate(unit))
                out(kInvalid);
            else
                out(char32_t(unit));
        }
    }

    template <typename Out>
    void finish(Out &&out)
    {
        if (m_high != 0) {
            m_high = 0;
            out(kInvalid);
        }
    }

private:
    bool m_bigEndian;
    char16_t m_high = 0;
};

// Characters to code page 936, each character's bytes looked up once: a file of Chinese text
// holds a few thousand distinct characters, and opening a converter per line would cost more
// than the rest of the import.
class CodePageEncoder {
public:
    explicit CodePageEncoder(const QString &path) : m_encoder("GBK"), m_decoder("GBK")
    {
        if (!m_encoder.isValid() || !m_decoder.isValid())
            throw Error(QStringLiteral("Cannot convert %1: no code page 936 converter").arg(path));
    }

    void append(char32_t c, QByteArray &out)
    {
        if (c < 0x80) {
            out.append(char(c));
            return;
        }
        if (c == kInvalid) {
            out.append(kNotInCodePage);
            return;
        }
        auto it = m_cache.constFind(c);
        if (it == m_cache.cend())
            it = m_cache.insert(c, encode(c));
        out.append(*it);
    }

private:
    QByteArray encode(char32_t c)
    {
        // The converter puts '?' for a character it lacks, and its error flag stays set once
        // raised: keep just what decodes back to the same character (which also refuses a
        // mapping that goes one way only).
        const QString text = QString::fromUcs4(&c, 1);
        const QByteArray bytes = m_encoder.encode(text);
        const bool fits = (bytes.size() == 1 || bytes.size() == 2) && QString(m_decoder.decode(bytes)) == text;
        return fits ? bytes : QByteArray(1, kNotInCodePage);
    }

    QStringEncoder m_encoder;
    QStringDecoder m_decoder;
    QHash<char32_t, QByteArray> m_cache;
};

struct Mark {
    SourceEncoding encoding = SourceEncoding::Auto;
    qsizetype size = 0;
};

Mark byteOrderMark(const QByteArray &head)
{
    if (head.startsWith("\xEF\xBB\xBF"))
        return {SourceEncoding::Utf8, 3};
    if (head.startsWith("\xFF\xFE"))
        return {SourceEncoding::Utf16LE, 2};
    if (head.startsWith("\xFE\xFF"))
        return {SourceEncoding::Utf16BE, 2};
    return {};
}

bool isUtf16(SourceEncoding e)
{
    return e == SourceEncoding::Utf16LE || e == SourceEncoding::Utf16BE;
}

} // namespace

struct SourceReader::State {
    QString path;
    const CancelToken *stop = nullptr;
    QFile file;
    bool waits = false; // a FIFO opened without blocking: each read waits for bytes first
    SourceEncoding encoding = SourceEncoding::Gbk;
    qsizetype markSize = 0;
    bool sequential = false;
    QByteArray lookAhead; // a pipe's bytes read while settling the encoding, mark removed
    std::optional<CodePageEncoder> encoder;

    // This pass.
    qint64 taken = 0; // bytes of the file handed to decoding, the carried byte included
    bool ended = false;
    qint64 nulOffset = -1;
    qint64 notRead = 0;
    QByteArray carry; // UTF-16: a chunk's odd last byte, waiting for its pair
    Utf8Decoder utf8;
    Utf16Decoder utf16;
    QByteArray text; // code page 936, from the current line on
    qsizetype start = 0; // where the current line starts in `text`
    qsizetype scan = 0;  // how far `text` was searched for a line break
    bool skipLF = false; // the last line ended at a CR: an LF next belongs to it
    qint64 cutLength = -1; // of the line last handed out, when only its start was

    bool openFifo();
    void waitForBytes();
    QByteArray readChunk(qint64 size);
    bool looksLikeUtf8();
    void resetPass();
    void fill();
    void decode(const char *data, qsizetype size);
    void finishDecoding();
    void keepHead(QByteArray &head, qsizetype from, qsizetype to) const;
};

#ifdef Q_OS_UNIX
// open(2) of a FIFO waits for a writer, and is restarted after a stop signal's handler ran, so
// a stop could never end that wait. A FIFO is opened without waiting instead, and each read
// first waits in poll(2) a tenth of a second at a time, looking at the stop in between. (Linux
// reports no hang-up before a first writer came, so the wait lasts until one comes.)
bool SourceReader::State::openFifo()
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0 || !S_ISFIFO(info.st_mode))
        return false;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw cannotOpen(path, qt_error_string(errno));
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw cannotOpen(path, file.errorString());
    }
    waits = true;
    return true;
}

void SourceReader::State::waitForBytes()
{
    pollfd fifo{file.handle(), POLLIN, 0};
    for (;;) {
        if (stop && stop->isCancelled())
            throw ReadStopped();
        const int n = ::poll(&fifo, 1, stop ? 100 : -1);
        if (n > 0)
            return; // bytes, or the writer has gone (end of file)
        if (n < 0 && errno != EINTR)
            throw Error(QStringLiteral("Cannot read file %1: %2").arg(path, qt_error_string(errno)));
    }
}
#else
bool SourceReader::State::openFifo()
{
    return false;
}

void SourceReader::State::waitForBytes() {}
#endif

QByteArray SourceReader::State::readChunk(qint64 size)
{
    QByteArray chunk(size, Qt::Uninitialized);
    qint64 got = 0;
    // Qt reads a blocking pipe until `size` bytes or the end; a FIFO read here does the same.
    do {
        if (waits)
            waitForBytes();
        const qint64 n = file.read(chunk.data() + got, size - got);
        if (n < 0)
            throw Error(QStringLiteral("Cannot read file %1: %2").arg(path, file.errorString()));
        if (n == 0)
            break;
        got += n;
    } while (waits && got < size);
    chunk.truncate(got);
    return chunk;
}

// Real code page 936 Chinese is practically never valid UTF-8, and pure ASCII reads the same
// either way: valid UTF-8 holding non-ASCII bytes, up to the first NUL, is UTF-8. A regular file
// is scanned to that NUL (then read from the start again); of a pipe the bytes read stay in
// `lookAhead`, at most about kLookAhead of them.
bool SourceReader::State::looksLikeUtf8()
{
    Utf8Decoder decoder;
    bool invalid = false;
    bool nonAscii = false;
    const auto note = [&](char32_t c) {
        if (c == kInvalid)
            invalid = true;
        else if (c >= 0x80)
            nonAscii = true;
    };
    qint64 seen = 0;
    for (bool first = true;; first = false) {
        QByteArray chunk = sequential && first ? lookAhead : readChunk(kChunkSize);
        if (chunk.isEmpty())
            break;
        if (sequential && !first)
            lookAhead += chunk;
        const qsizetype nul = chunk.indexOf('\0');
        decoder.feed(chunk.constData(), nul < 0 ? chunk.size() : nul, note);
        if (invalid)
            return false;
        if (nul >= 0)
            break;
        seen += chunk.size();
        if (sequential && seen >= kLookAhead)
            return nonAscii; // cut off inside the text: a sequence left open there is no fault
    }
    decoder.finish(note);
    return nonAscii && !invalid;
}

void SourceReader::State::resetPass()
{
    taken = markSize;
    ended = false;
    nulOffset = -1;
    notRead = 0;
    carry.clear();
    utf8 = Utf8Decoder();
    utf16 = Utf16Decoder(encoding == SourceEncoding::Utf16BE);
    text.clear();
    start = scan = 0;
    skipLF = false;
}

void SourceReader::State::decode(const char *data, qsizetype size)
{
    const auto put = [this](char32_t c) { encoder->append(c, text); };
    switch (encoding) {
    case SourceEncoding::Auto:
    case SourceEncoding::Gbk:
        text.append(data, size);
        break;
    case SourceEncoding::Utf8:
        utf8.feed(data, size, put);
        break;
    case SourceEncoding::Utf16LE:
    case SourceEncoding::Utf16BE:
        utf16.feed(data, size, put);
        break;
    }
}

void SourceReader::State::finishDecoding()
{
    const auto put = [this](char32_t c) { encoder->append(c, text); };
    if (encoding == SourceEncoding::Utf8)
        utf8.finish(put);
    else if (isUtf16(encoding))
        utf16.finish(put);
}

// Decodes the next chunk onto `text`; sets `ended` at the end of the file or a NUL.
void SourceReader::State::fill()
{
    QByteArray chunk = lookAhead.isEmpty() ? readChunk(kChunkSize) : std::exchange(lookAhead, QByteArray());
    if (chunk.isEmpty()) {
        finishDecoding();
        if (!carry.isEmpty())
            text.append(kNotInCodePage); // half a UTF-16 code unit
        carry.clear();
        ended = true;
        return;
    }
    const qint64 base = taken - carry.size(); // the file offset of what is decoded next
    taken += chunk.size();
    if (!carry.isEmpty())
        chunk.prepend(std::exchange(carry, QByteArray()));
    qsizetype usable = chunk.size();
    const bool wide = isUtf16(encoding);
    if (wide && usable % 2 != 0) {
        carry = chunk.right(1);
        --usable;
    }

    // UTF-16 text is full of zero bytes: only a whole zero code unit ends it.
    qsizetype nul = -1;
    if (wide) {
        for (qsizetype i = 0; i + 1 < usable && nul < 0; i += 2) {
            if (chunk.at(i) == '\0' && chunk.at(i + 1) == '\0')
                nul = i;
        }
    } else if (const void *at = std::memchr(chunk.constData(), 0, size_t(usable))) {
        nul = static_cast<const char *>(at) - chunk.constData();
    }
    if (nul < 0) {
        decode(chunk.constData(), usable);
        return;
    }
    decode(chunk.constData(), nul);
    finishDecoding();
    carry.clear();
    ended = true;
    nulOffset = base + nul;
    taken = nulOffset + (wide ? 2 : 1);
    notRead = sequential ? -1 : qMax<qint64>(0, file.size() - taken);
}

SourceReader::SourceReader(const QString &path, SourceEncoding encoding, const CancelToken *stop)
    : d(std::make_unique<State>())
{
    d->path = path;
    d->stop = stop;
    if (path.isEmpty())
        throw Error(QStringLiteral("Cannot open file "));
    if (QFileInfo(path).isDir())
        throw cannotOpen(path, QStringLiteral("Is a directory"));
    if (!d->openFifo()) {
        d->file.setFileName(path);
        if (!d->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            throw cannotOpen(path, d->file.errorString());
    }
    d->sequential = d->file.isSequential();

    // A byte-order mark is looked at before any NUL: UTF-16 text is full of zero bytes.
    if (d->sequential)
        d->lookAhead = d->readChunk(kChunkSize);
    const Mark mark = byteOrderMark(d->sequential ? d->lookAhead : d->readChunk(3));
    if (encoding == SourceEncoding::Auto) {
        if (mark.encoding != SourceEncoding::Auto) {
            d->encoding = mark.encoding;
            d->markSize = mark.size;
        } else {
            if (!d->sequential)
                d->file.seek(0);
            d->encoding = d->looksLikeUtf8() ? SourceEncoding::Utf8 : SourceEncoding::Gbk;
        }
    } else {
        d->encoding = encoding;
        if (mark.encoding == encoding && encoding != SourceEncoding::Gbk)
            d->markSize = mark.size;
    }
    if (d->encoding != SourceEncoding::Gbk)
        d->encoder.emplace(path);

    if (d->sequential)
        d->lookAhead.remove(0, d->markSize);
    else if (!d->file.seek(d->markSize))
        throw Error(QStringLiteral("Cannot read file %1: %2").arg(path, d->file.errorString()));
    d->resetPass();
}

SourceReader::~SourceReader() = default;

// Adds to `head` what it still lacks of text[from, to), from the line's first byte above 0x20.
void SourceReader::State::keepHead(QByteArray &head, qsizetype from, qsizetype to) const
{
    if (head.isEmpty()) {
        while (from < to && static_cast<uchar>(text.at(from)) <= 0x20)
            ++from;
    }
    head.append(text.constData() + from, qMin(to - from, kHeadBytes - head.size()));
}

bool SourceReader::readLine(QByteArray &line)
{
    State &s = *d;
    s.cutLength = -1;
    // A line past kMaxLineBytes is let go as it is read: only its start and length stay.
    bool cutting = false;
    qint64 dropped = 0;
    QByteArray head;
    const auto take = [&](qsizetype end) {
        if (!cutting && end - s.start <= kMaxLineBytes) {
            line = s.text.mid(s.start, end - s.start);
            return;
        }
        s.keepHead(head, s.start, end);
        s.cutLength = dropped + (end - s.start);
        line = head.size() < kHeadBytes ? head : CutDbcs(head, int(kHeadBytes)); // no half character
    };
    for (;;) {
        const qsizetype size = s.text.size();
        if (s.skipLF && s.start < size) {
            if (s.text.at(s.start) == '\n')
                ++s.start;
            s.skipLF = false;
        }
        if (!s.skipLF) {
            const char *p = s.text.constData();
            for (qsizetype i = qMax(s.scan, s.start); i < size; ++i) {
                if (p[i] == '\r' || p[i] == '\n') {
                    take(i);
                    s.skipLF = p[i] == '\r';
                    s.start = s.scan = i + 1;
                    return true;
                }
            }
            s.scan = size;
        }
        if (s.ended) {
            s.skipLF = false;
            if (s.start >= size && !cutting)
                return false;
            take(size);
            s.start = s.scan = size;
            return true;
        }
        if (cutting || size - s.start > kMaxLineBytes) {
            cutting = true;
            s.keepHead(head, s.start, size);
            dropped += size - s.start;
            s.start = s.scan = size;
        }
        // Only the unfinished line stays: memory follows the longest line held, not the file.
        s.text.remove(0, s.start);
        s.scan -= s.start;
        s.start = 0;
        s.fill();
    }
}

qint64 SourceReader::cutLineLength() const
{
    return d->cutLength;
}

bool SourceReader::canRewind() const
{
    return !d->sequential;
}

bool SourceReader::rewind()
{
    if (d->sequential || !d->file.seek(d->markSize))
        return false;
    d->resetPass();
    return true;
}

SourceEncoding SourceReader::encoding() const
{
    return d->encoding;
}

QString SourceReader::encodingName() const
{
    switch (d->encoding) {
    case SourceEncoding::Utf8:
        return d->markSize > 0 ? QStringLiteral("UTF-8 (BOM)") : QStringLiteral("UTF-8");
    case SourceEncoding::Utf16LE:
        return QStringLiteral("UTF-16LE");
    case SourceEncoding::Utf16BE:
        return QStringLiteral("UTF-16BE");
    case SourceEncoding::Auto:
    case SourceEncoding::Gbk:
        break;
    }
    return QStringLiteral("GBK");
}

bool SourceReader::converted() const
{
    return d->encoding != SourceEncoding::Gbk;
}

qint64 SourceReader::bytesRead() const
{
    return d->taken;
}

qint64 SourceReader::fileSize() const
{
    return d->sequential ? -1 : d->file.size();
}

qint64 SourceReader::nulOffset() const
{
    return d->nulOffset;
}

qint64 SourceReader::bytesNotRead() const
{
    return d->notRead;
}

QList<QByteArray> loadSourceLines(const QString &path)
{
    SourceReader reader(path);
    QList<QByteArray> lines;
    QByteArray line;
    while (reader.readLine(line))
        lines.append(line);
    return lines;
}

} // namespace chongma::import
