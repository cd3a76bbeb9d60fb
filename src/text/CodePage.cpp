#include "text/CodePage.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace chongma {

QByteArray toCodePage(const QString &text)
{
    QStringEncoder encoder("GBK");
    if (!encoder.isValid())
        return text.toLocal8Bit();
    return encoder.encode(text);
}

namespace {

// Checks the bytes ourselves: the decoder passes a cut double-byte character and 0xFF silently.
bool validCodePage(const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes.at(i));
        if (b == 0xFF)
            return false;
        if (isDbcsLeadByte(b)) {
            if (i + 1 >= bytes.size())
                return false;
            const auto t = static_cast<unsigned char>(bytes.at(++i));
            if (t < 0x40 || t == 0x7F || t == 0xFF)
                return false;
        }
    }
    return true;
}

bool isAscii(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

struct CodePageDecoder::State {
    QStringDecoder decoder{"GBK", QStringConverter::Flag::Stateless};
};

CodePageDecoder::CodePageDecoder() : d(new State) {}

CodePageDecoder::~CodePageDecoder() { delete d; }

QString CodePageDecoder::decode(const QByteArray &bytes, bool *ok)
{
    if (isAscii(bytes)) { // most fields: no converter needed
        if (ok)
            *ok = true;
        return QString::fromLatin1(bytes);
    }
    QString text = d->decoder.decode(bytes);
    const bool flagged = d->decoder.hasError();
    const bool valid = !flagged && validCodePage(bytes);
    if (flagged) // the flag outlives resetState(): start afresh after the rare bad field
        d->decoder = QStringDecoder("GBK", QStringConverter::Flag::Stateless);
    if (ok)
        *ok = valid;
    return text;
}

QString fromCodePage(const QByteArray &bytes, bool *ok)
{
    QStringDecoder decoder("GBK");
    QString text = decoder.decode(bytes);
    bool valid = !decoder.hasError();
    // The decoder passes a cut double-byte character and 0xFF silently: check the bytes ourselves.
    for (qsizetype i = 0; valid && i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes.at(i));
        if (b == 0xFF)
            valid = false;
        else if (isDbcsLeadByte(b)) {
            if (i + 1 >= bytes.size()) {
                valid = false;
                break;
            }
            const auto t = static_cast<unsigned char>(bytes.at(++i));
            valid = t >= 0x40 && t != 0x7F && t != 0xFF;
        }
    }
    if (ok)
        *ok = valid;
    return text;
}

} // namespace chongma
