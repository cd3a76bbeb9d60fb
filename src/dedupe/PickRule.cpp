#include "dedupe/PickRule.h"

#include "data/Error.h"

#include <QHash>
#include <QLocale>
#include <QRegularExpression>

#include <cmath>
#include <cstdio>
#include <limits>

namespace chongma {

namespace {

// A plain decimal as servers write one: sign, digits, a point and more digits.
const QRegularExpression &decimalPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?$"));
    return pattern;
}

// The exact decimal digits of a finite double (a double is a binary fraction, whose decimal
// expansion ends).
QString exactDigits(double d)
{
    char buffer[1200];
    std::snprintf(buffer, sizeof buffer, "%.1100f", d);
    return QString::fromLatin1(buffer);
}

int compareDigits(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

DiskNumber DiskNumber::whole(qint64 n)
{
    DiskNumber number;
    number.m_whole = n;
    return number;
}

DiskNumber DiskNumber::of(const QVariant &value, ValueKind kind)
{
    DiskNumber number;
    switch (kind) {
    case ValueKind::Null:
        return number;
    case ValueKind::Integer:
        if (value.metaType().id() == QMetaType::ULongLong
            && value.toULongLong() > qulonglong(std::numeric_limits<qint64>::max())) {
            return of(QString::number(value.toULongLong()), ValueKind::Decimal);
        }
        number.m_whole = value.toLongLong();
        return number;
    case ValueKind::Real:
        number.m_form = Form::Real;
        number.m_real = value.toDouble();
        return number;
    case ValueKind::Boolean:
        number.m_whole = value.toBool() ? 1 : 0;
        return number;
    default:
        break;
    }
    // Decimals, and numbers held as text: exactly as written.
    const QString text = value.toString().trimmed();
    const QRegularExpressionMatch m = decimalPattern().match(text);
    if (m.hasMatch() && (!m.captured(2).isEmpty() || !m.captured(3).isEmpty())) {
        number.m_form = Form::Decimal;
        number.m_negative = m.captured(1) == u"-";
        number.m_integer = m.captured(2);
        while (number.m_integer.startsWith(u'0'))
            number.m_integer.remove(0, 1);
        number.m_fraction = m.captured(3);
        while (number.m_fraction.endsWith(u'0'))
            number.m_fraction.chop(1);
        if (number.m_integer.isEmpty() && number.m_fraction.isEmpty())
            number.m_negative = false; // -0 is 0
        return number;
    }
    bool ok = false;
    const double d = text.toDouble(&ok); // exponents, inf, nan
    if (!ok)
        throw Error(QStringLiteral("'%1' is not a valid number").arg(text));
    number.m_form = Form::Real;
    number.m_real = d;
    return number;
}

// NaN, infinities and exact decimals in one order, clearer whole than split.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
int DiskNumber::compare(const DiskNumber &other) const
{
    if (m_form == Form::Whole && other.m_form == Form::Whole)
        return m_whole < other.m_whole ? -1 : m_whole > other.m_whole ? 1 : 0;
    const bool nan = m_form == Form::Real && std::isnan(m_real);
    const bool otherNan = other.m_form == Form::Real && std::isnan(other.m_real);
    if (nan || otherNan)
        return nan == otherNan ? 0 : nan ? 1 : -1;
    if (m_form == Form::Real && other.m_form == Form::Real)
        return m_real < other.m_real ? -1 : m_real > other.m_real ? 1 : 0;
    const bool infinite = m_form == Form::Real && std::isinf(m_real);
    const bool otherInfinite = other.m_form == Form::Real && std::isinf(other.m_real);
    if (infinite || otherInfinite) {
        const int mine = infinite ? (m_real < 0 ? -1 : 1) : 0;
        const int theirs = otherInfinite ? (other.m_real < 0 ? -1 : 1) : 0;
        return mine < theirs ? -1 : mine > theirs ? 1 : 0;
    }
    // Everything else as exact decimals.
    const auto decimal = [](const DiskNumber &n) {
        if (n.m_form == Form::Decimal)
            return n;
        return of(n.m_form == Form::Whole ? QString::number(n.m_whole) : exactDigits(n.m_real), ValueKind::Decimal);
    };
    const DiskNumber a = decimal(*this);
    const DiskNumber b = decimal(other);
    if (a.m_negative != b.m_negative)
        return a.m_negative ? -1 : 1;
    int magnitude = compareDigits(a.m_integer, b.m_integer);
    if (magnitude == 0) {
        const qsizetype width = qMax(a.m_fraction.size(), b.m_fraction.size());
        magnitude = QString(a.m_fraction).leftJustified(width, u'0').compare(QString(b.m_fraction).leftJustified(width, u'0'));
        magnitude = magnitude < 0 ? -1 : magnitude > 0 ? 1 : 0;
    }
    return a.m_negative ? -magnitude : magnitude;
}

QString DiskNumber::toString() const
{
    switch (m_form) {
    case Form::Whole:
        return QString::number(m_whole);
    case Form::Real:
        return QString::number(m_real, 'g', QLocale::FloatingPointShortest);
    case Form::Decimal:
        break;
    }
    QString text = (m_negative ? QStringLiteral("-") : QString()) + (m_integer.isEmpty() ? QStringLiteral("0") : m_integer);
    if (!m_fraction.isEmpty())
        text += u'.' + m_fraction;
    return text;
}

namespace dedupe {

namespace {

// Beyond 2^53 a double no longer tells neighbouring integers apart.
constexpr double kExactDoubleLimit = 9007199254740992.0;

std::optional<qint64> fromDouble(double d)
{
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > kExactDoubleLimit)
        return std::nullopt;
    return qint64(d);
}

// Orders the named rows among unusable ones: NULL lowest, then by value.
DiskNumber sortKey(const QVariant &diskId, ValueKind kind)
{
    if (kind == ValueKind::Null)
        return DiskNumber::of(-std::numeric_limits<double>::infinity(), ValueKind::Real);
    try {
        return DiskNumber::of(diskId, kind);
    } catch (const Error &) {
        return DiskNumber::of(-std::numeric_limits<double>::max(), ValueKind::Real);
    }
}

} // namespace

std::optional<qint64> wholeId(const QVariant &diskId, ValueKind kind)
{
    switch (kind) {
    case ValueKind::Integer:
        if (diskId.metaType().id() == QMetaType::ULongLong) {
            const qulonglong n = diskId.toULongLong();
            return n <= qulonglong(std::numeric_limits<qint64>::max()) ? std::optional<qint64>(qint64(n)) : std::nullopt;
        }
        return diskId.toLongLong();
    case ValueKind::Real:
        return fromDouble(diskId.toDouble());
    case ValueKind::Decimal: {
        // The server's digits: "12.000" names 12, "5.7" nothing, and 64 bits are exact.
        const QString text = diskId.toString().trimmed();
        const qsizetype point = text.indexOf(u'.');
        const QString integral = point < 0 ? text : text.left(point);
        for (qsizetype i = point < 0 ? text.size() : point + 1; i < text.size(); ++i) {
            if (text.at(i) != u'0')
                return std::nullopt;
        }
        bool ok = false;
        const qlonglong n = integral.toLongLong(&ok, 10);
        return ok ? std::optional<qint64>(n) : std::nullopt;
    }
    default:
        // NULL; a text, which a bound number does not match in every database; anything else.
        return std::nullopt;
    }
}

QString unusableIdReason(const QVariant &diskId, ValueKind kind)
{
    switch (kind) {
    case ValueKind::Null:
        return QStringLiteral("DiskID is NULL");
    case ValueKind::Text:
        return QStringLiteral("DiskID '%1' is held as text, not as a number").arg(diskId.toString());
    case ValueKind::Integer:
        return QStringLiteral("DiskID %1 is beyond 64 bits").arg(diskId.toString());
    default:
        return QStringLiteral("DiskID %1 is not a whole number").arg(diskId.toString());
    }
}

DuplicatePick pickRow(const QString &barcode, const QList<DiskRow> &rows)
{
    DuplicatePick pick{barcode, std::nullopt, {}, {}};
    if (rows.isEmpty()) {
        pick.reason = QStringLiteral("no row carries this barcode");
        return pick;
    }
    DiskNumber greatest = rows.first().diskNum;
    QHash<qint64, int> carriers; // how many rows of the barcode carry each id
    QList<std::optional<qint64>> ids;
    ids.reserve(rows.size());
    for (const DiskRow &row : rows) {
        if (row.diskNum.compare(greatest) > 0)
            greatest = row.diskNum;
        ids.append(wholeId(row.diskId, row.idKind));
        if (ids.last())
            ++carriers[*ids.last()];
    }

    int best = -1;  // the tied row with the greatest usable id
    int named = -1; // the tied row with the greatest DiskID of all, usable or not
    for (int i = 0; i < rows.size(); ++i) {
        const DiskRow &row = rows.at(i);
        if (row.diskNum.compare(greatest) != 0)
            continue;
        const std::optional<qint64> &id = ids.at(i);
        if (id && carriers.value(*id) == 1 && (best < 0 || *id > *ids.at(best)))
            best = i;
        if (named < 0
            || sortKey(row.diskId, row.idKind).compare(sortKey(rows.at(named).diskId, rows.at(named).idKind)) > 0)
            named = i;
    }
    if (best >= 0) {
        pick.diskId = ids.at(best);
        pick.rowBar = rows.at(best).bar;
        return pick;
    }
    const DiskRow &row = rows.at(named);
    pick.rowBar = row.bar;
    const std::optional<qint64> &id = ids.at(named);
    pick.reason = id ? QStringLiteral("DiskID %1 is on more than one row of this barcode").arg(*id)
                     : unusableIdReason(row.diskId, row.idKind);
    return pick;
}

} // namespace dedupe
} // namespace chongma
