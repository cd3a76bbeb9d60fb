#pragma once

#include <QByteArray>
#include <QString>

namespace chongma {

// Material source files are in code page 936 (GBK), whatever the host's locale: a byte
// 0x81..0xFE starts a double-byte character there.
bool isDbcsLeadByte(unsigned char byte);

// Text to code page 936 bytes (del.log, config.ini); a character the code page lacks becomes "?".
QByteArray toCodePage(const QString &text);
// Code page 936 bytes to text; `ok`, when given, is false for bytes that are not valid there.
QString fromCodePage(const QByteArray &bytes, bool *ok = nullptr);

} // namespace chongma
