#include "import/MaterialParser.h"

#include "text/CodePage.h"

#include <limits>

namespace chongma {

namespace {

constexpr qsizetype kMinLineLength = 10;

bool isBlank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

// The same as line = trim(line), in place: a parse runs a million times in a long import.
void trimInPlace(QByteArray &line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && isBlank(line.at(begin)))
        ++begin;
    while (end > begin && isBlank(line.at(end - 1)))
        --end;
    if (end < line.size())
        line.truncate(end);
    if (begin > 0)
        line.remove(0, begin);
}

// Takes the token before the first space into `field` and drops from the line only as many
// bytes as the field kept, so an over-long token leaves its excess for the next field.
template <qsizetype Cap>
bool takeCutField(QByteArray &line, LimitedText<Cap> &field)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 0)
        return false;
    field = line.left(space);
    line.remove(0, field.size());
    trimInPlace(line);
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A lead byte owns the byte after it, except a quote: 0x22 and 0x27 are never second bytes in
// code page 936, so a quote after a stray lead byte is still a quote.
QByteArray removeStandalone(const QByteArray &line, char quote)
{
    if (!line.contains(quote)) // the usual line: nothing to remove, nothing to copy
        return line;
    const qsizetype n = line.size();
    const char *in = line.constData();
    QByteArray out(n, Qt::Uninitialized);
    char *kept = out.data();
    qsizetype k = 0;
    for (qsizetype i = 0; i < n;) {
        const char c = in[i];
        if (isDbcsLeadByte(static_cast<unsigned char>(c)) && i + 1 < n && in[i + 1] != '"'
            && in[i + 1] != '\'') {
            kept[k++] = c;
            kept[k++] = in[i + 1];
            i += 2;
            continue;
        }
        if (c != quote)
            kept[k++] = c;
        ++i;
    }
    out.truncate(k);
    return out;
}

} // namespace

void TMaterialRec::reset()
{
    static const TMaterialRec fresh; // its "0.0" is made once, not once a line
    *this = fresh;
}

QString parseReasonText(ParseReason reason, ReasonLanguage language)
{
    const bool zh = language == ReasonLanguage::Chinese;
    switch (reason) {
    case ParseReason::None:
        return zh ? QStringLiteral("已接受") : QStringLiteral("accepted");
    case ParseReason::TooShort:
        return zh ? QStringLiteral("行不足10字节") : QStringLiteral("line shorter than 10 bytes");
    case ParseReason::NoSpaceInLine:
        return zh ? QStringLiteral("行内没有空格（条码）") : QStringLiteral("no space in the line (code)");
    case ParseReason::NoSpaceAfterCode:
        return zh ? QStringLiteral("条码后没有空格") : QStringLiteral("no space after the code");
    case ParseReason::NoSpaceAfterMNo:
        return zh ? QStringLiteral("物料号后没有空格")
                  : QStringLiteral("no space after the material number");
    case ParseReason::BadInteger:
        return zh ? QStringLiteral("第三项不是整数") : QStringLiteral("third field is not an integer");
    case ParseReason::NoSpaceAfterInteger:
        return zh ? QStringLiteral("整数后没有空格") : QStringLiteral("no space after the integer");
    case ParseReason::NoBracketAfterPrice:
        return zh ? QStringLiteral("价格后没有“] ”") : QStringLiteral("no \"] \" after the price");
    case ParseReason::NoMarker:
        return zh ? QStringLiteral("日期后没有“[!]”") : QStringLiteral("no \"[!]\" after the date");
    case ParseReason::TooLong:
        return zh ? QStringLiteral("行过长，只读了开头") : QStringLiteral("line too long to hold; only its start is shown");
    }
    return zh ? QStringLiteral("未知原因") : QStringLiteral("unknown reason");
}

QByteArray trim(const QByteArray &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    if (begin == 0 && end == text.size())
        return text; // shared, not copied
    return text.mid(begin, end - begin);
}

std::optional<qint32> parseInt32(const QByteArray &token)
{
    const qsizetype n = token.size();
    if (n == 0)
        return std::nullopt;

    qsizetype i = 0;
    if (token.at(0) == '$' || token.at(0) == 'x' || token.at(0) == 'X')
        i = 1;
    else if (n >= 2 && token.at(0) == '0' && (token.at(1) == 'x' || token.at(1) == 'X'))
        i = 2;

    if (i > 0) {
        if (i == n)
            return std::nullopt;
        quint64 value = 0;
        for (; i < n; ++i) {
            const int d = hexDigit(token.at(i));
            if (d < 0)
                return std::nullopt;
            value = value * 16 + static_cast<quint64>(d);
            if (value > std::numeric_limits<quint32>::max())
                return std::nullopt;
        }
        // $FFFFFFFF is -1: the 32 bits are read as a signed value.
        return static_cast<qint32>(static_cast<quint32>(value));
    }

    bool negative = false;
    if (token.at(0) == '+' || token.at(0) == '-') {
        negative = token.at(0) == '-';
        i = 1;
    }
    if (i == n)
        return std::nullopt;
    constexpr qint64 limit = qint64(std::numeric_limits<qint32>::max()) + 1;
    qint64 value = 0;
    for (; i < n; ++i) {
        const char c = token.at(i);
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return static_cast<qint32>(value);
}

QByteArray StripQuotes(const QByteArray &line)
{
    // Three passes in this order: dropping a quote can pair a lead byte with the byte after it.
    return removeStandalone(removeStandalone(removeStandalone(line, '"'), '\''), '`');
}

QByteArray CutDbcs(const QByteArray &text, int n)
{
    if (n <= 0)
        return {};
    if (text.size() < 2)
        return text.left(n);
    const qsizetype end = qMin<qsizetype>(n, text.size());
    bool lastTestedIsLead = false;
    for (qsizetype i = 0; i < end; ++i) {
        if (lastTestedIsLead) {
            lastTestedIsLead = false; // a trail byte, not tested
            continue;
        }
        lastTestedIsLead = isDbcsLeadByte(static_cast<unsigned char>(text.at(i)));
    }
    return text.left(lastTestedIsLead ? end - 1 : end);
}

QByteArrayView CodeOfLine(QByteArrayView line)
{
    // As ParseMaterialLine reads it: tabs are blanks, the code is what comes before the first
    // blank, kept to its field's length.
    qsizetype end = 0;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t')
        ++end;
    return line.first(qMin(end, decltype(TMaterialRec::Code)::kCapacity));
}

bool ParseMaterialLine(TMaterialRec &rec, QByteArray &line, ParseReason *reason)
{
    const auto fail = [reason](ParseReason why) {
        if (reason)
            *reason = why;
        return false;
    };

    rec.reset();
    line.replace('\t', ' ');
    if (line.size() < kMinLineLength)
        return fail(ParseReason::TooShort);

    if (!takeCutField(line, rec.Code))
        return fail(ParseReason::NoSpaceInLine);
    if (!takeCutField(line, rec.MNo))
        return fail(ParseReason::NoSpaceAfterCode);

    // The integer token goes whole, whatever its length.
    const qsizetype intEnd = line.indexOf(' ');
    if (intEnd < 0)
        return fail(ParseReason::NoSpaceAfterMNo);
    const std::optional<qint32> value = parseInt32(line.left(intEnd));
    line.remove(0, intEnd);
    if (!value)
        return fail(ParseReason::BadInteger);
    rec.IntValue = *value;
    trimInPlace(line);

    if (!takeCutField(line, rec.Price))
        return fail(ParseReason::NoSpaceAfterInteger);

    // The date keeps its brackets until it has been cut to 50 bytes and taken off the line.
    const qsizetype dateEnd = line.indexOf("] ");
    if (dateEnd < 0)
        return fail(ParseReason::NoBracketAfterPrice);
    rec.PubDate = line.left(dateEnd + 1);
    line.remove(0, rec.PubDate.size());
    const qsizetype dateSize = rec.PubDate.size();
    rec.PubDate = dateSize >= 3 ? rec.PubDate.bytes().mid(1, dateSize - 2) : QByteArray();
    trimInPlace(line);

    const qsizetype marker = line.indexOf("[!]");
    if (marker < 0)
        return fail(ParseReason::NoMarker);
    rec.Name = trim(line.left(marker));
    line.remove(0, marker);
    if (rec.Name.size() > TMaterialRec::kNameStoredMax)
        rec.Name = CutDbcs(rec.Name, int(TMaterialRec::kNameStoredMax));
    trimInPlace(line);

    // "[!]" and the byte after it go; leading blanks left after that count against the 48 bytes.
    rec.SupName = line.mid(4);
    rec.SupName = trim(rec.SupName);

    if (reason)
        *reason = ParseReason::None;
    return true;
}

QByteArray BuildInsertSQL(const TMaterialRec &rec)
{
    QByteArray sql = "insert into BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, Pur_SupName, "
                     "BD_MPUBDATE) values('";
    sql += rec.Code.bytes();
    sql += "', '";
    sql += rec.MNo.bytes();
    sql += "', '";
    sql += rec.Name.bytes();
    sql += "', '";
    sql += rec.Price.bytes();
    sql += "', '";
    sql += rec.SupName.bytes();
    sql += "', '";
    sql += rec.PubDate.bytes();
    sql += "'); ";
    return sql;
}

} // namespace chongma
