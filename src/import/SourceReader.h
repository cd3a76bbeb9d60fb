#pragma once

// The material source file as a stream of lines in code page 936, read a chunk at a time so a
// large file is never held whole. UTF-8 and UTF-16 files are converted on the way in, so the
// parser's byte-width rules hold whatever the file was saved as.

#include <QByteArray>
#include <QList>
#include <QString>

#include <exception>
#include <memory>

namespace chongma {
class CancelToken;
}

namespace chongma::import {

enum class SourceEncoding {
    Auto,    // a byte-order mark decides; else valid UTF-8 holding non-ASCII bytes; else 936
    Gbk,     // code page 936: bytes pass through unchanged
    Utf8,
    Utf16LE,
    Utf16BE,
};

// Thrown while a reader waits on a FIFO (for a writer, or for bytes) once its stop token is set.
class ReadStopped : public std::exception {
public:
    const char *what() const noexcept override { return "stopped while waiting for the source"; }
};

class SourceReader {
public:
    static constexpr qsizetype kChunkSize = 64 * 1024;
    // How much of a pipe or device is looked at to tell UTF-8 from code page 936.
    static constexpr qsizetype kLookAhead = 1024 * 1024;
    // The longest line held. What the parser keeps of a line is under 400 bytes (its widths:
    // 20 + 30 + 11 + 50 + 50 + 100 + 4 + 48, a blank between each); the rest of any line is
    // blanks and quotes cleaning drops, zeros before the integer, or name and supplier text
    // past what is stored. A mebibyte leaves room for thousands of times that, and memory
    // stays bounded.
    static constexpr qsizetype kMaxLineBytes = 1024 * 1024;
    // How much of a longer line is handed out, to show it by.
    static constexpr qsizetype kHeadBytes = 64;

    // Opens `path` and settles its encoding (on a regular file by a scan up to the first NUL).
    // A FIFO is opened without waiting for a writer; while it waits for one, or for bytes, a set
    // `stop` ends the wait with ReadStopped.
    // Throws Error "Cannot open file <path>: <reason>" ("Cannot open file " for an empty path),
    // or "Cannot read file <path>: <reason>".
    explicit SourceReader(const QString &path, SourceEncoding encoding = SourceEncoding::Auto,
                          const CancelToken *stop = nullptr);
    ~SourceReader();
    SourceReader(const SourceReader &) = delete;
    SourceReader &operator=(const SourceReader &) = delete;

    // The next line in code page 936, without its break (CR LF, lone CR or lone LF), otherwise
    // unchanged; false once the text has ended (end of file or a NUL). A character converted
    // text cannot hold in code page 936 is the byte 0xFF there. A line longer than kMaxLineBytes
    // is read past without being held: `line` is then only its start, up to kHeadBytes from its
    // first byte above 0x20 (empty for a line of blanks), and cutLineLength() says how long it
    // was. Throws Error on a read failure.
    bool readLine(QByteArray &line);
    // The length of the line readLine last gave when only its start was given; -1 otherwise.
    qint64 cutLineLength() const;

    // A regular file can be read again from its first line; a pipe or a device cannot.
    bool canRewind() const;
    // Back to the first line, the encoding kept; false when the file cannot be rewound.
    bool rewind();

    SourceEncoding encoding() const; // as read, never Auto
    // "GBK", "UTF-8", "UTF-8 (BOM)", "UTF-16LE" or "UTF-16BE".
    QString encodingName() const;
    // Whether the lines were converted to code page 936 rather than passed through.
    bool converted() const;

    // Bytes of the file taken so far in this pass, the byte-order mark included; ahead of the
    // lines handed out by at most a chunk (on a pipe, at first, by the look-ahead).
    qint64 bytesRead() const;
    // The file's size, -1 for a pipe or a device.
    qint64 fileSize() const;

    // Where a NUL (U+0000 in UTF-16) ended the text: its byte offset in the file, -1 when none
    // has (yet).
    qint64 nulOffset() const;
    // The bytes after that NUL that were never read, -1 when unknown (a pipe or a device);
    // 0 while no NUL has ended the text.
    qint64 bytesNotRead() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

// All lines of the source file, as SourceReader gives them.
QList<QByteArray> loadSourceLines(const QString &path);

} // namespace chongma::import
