#pragma once

#include <QByteArray>
#include <QString>

namespace chongma {

// Material source files are in code page 936 (GBK), whatever the host's locale: a byte
// 0x81..0xFE starts a double-byte character there. Fixed rather than asked of the system: the
// files come from Chinese Windows machines, and Linux has no ANSI code page to ask.
inline bool isDbcsLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

// Text to code page 936 bytes (del.log, config.ini); a character the code page lacks becomes "?".
QByteArray toCodePage(const QString &text);
// Code page 936 bytes to text; `ok`, when given, is false for bytes that are not valid there.
QString fromCodePage(const QByteArray &bytes, bool *ok = nullptr);

// The same decoding with one converter kept for many texts: opening one is not free, and a
// long job decodes millions of fields.
class CodePageDecoder {
public:
    CodePageDecoder();
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder &) = delete;
    CodePageDecoder &operator=(const CodePageDecoder &) = delete;
    QString decode(const QByteArray &bytes, bool *ok = nullptr);

private:
    struct State;
    State *d;
};

} // namespace chongma
