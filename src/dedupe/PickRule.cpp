#include "dedupe/PickRule.h"

#include <QHash>

#include <cmath>
#include <limits>

namespace chongma::dedupe {

namespace {

// Beyond 2^53 a double no longer tells neighbouring integers apart.
constexpr double kExactDoubleLimit = 9007199254740992.0;

std::optional<qint64> fromDouble(double d)
{
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > kExactDoubleLimit)
        return std::nullopt;
    return qint64(d);
}

// Orders the named rows among unusable ones: NULL lowest, then by numeric value.
double sortKey(const QVariant &diskId)
{
    if (!diskId.isValid() || diskId.isNull())
        return -std::numeric_limits<double>::infinity();
    bool ok = false;
    const double d = diskId.toDouble(&ok);
    return ok ? d : -std::numeric_limits<double>::max();
}

QString reasonFor(const QVariant &diskId, const std::optional<qint64> &id)
{
    if (!diskId.isValid() || diskId.isNull())
        return QStringLiteral("DiskID is NULL");
    if (!id)
        return QStringLiteral("DiskID %1 is not a whole number").arg(diskId.toString());
    return QStringLiteral("DiskID %1 is on more than one row of this barcode").arg(*id);
}

} // namespace

bool isIntegerType(QMetaType type)
{
    switch (type.id()) {
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

std::optional<qint64> wholeId(const QVariant &diskId)
{
    if (!diskId.isValid() || diskId.isNull())
        return std::nullopt;
    if (diskId.metaType().id() == QMetaType::ULongLong) {
        const qulonglong n = diskId.toULongLong();
        return n <= qulonglong(std::numeric_limits<qint64>::max()) ? std::optional<qint64>(qint64(n)) : std::nullopt;
    }
    if (isIntegerType(diskId.metaType())) {
        bool ok = false;
        const qlonglong n = diskId.toLongLong(&ok);
        return ok ? std::optional<qint64>(n) : std::nullopt;
    }
    switch (diskId.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return fromDouble(diskId.toDouble());
    case QMetaType::Bool:
        return std::nullopt;
    default: {
        // Drivers hand REAL and numeric columns over as text at times ("5.7", "12.000").
        const QString text = diskId.toString().trimmed();
        bool ok = false;
        const qlonglong n = text.toLongLong(&ok, 10);
        if (ok)
            return n;
        const double d = text.toDouble(&ok);
        return ok ? fromDouble(d) : std::nullopt;
    }
    }
}

DuplicatePick pickRow(const QString &barcode, const QList<DiskRow> &rows)
{
    DuplicatePick pick{barcode, std::nullopt, {}, {}};
    if (rows.isEmpty()) {
        pick.reason = QStringLiteral("no row carries this barcode");
        return pick;
    }
    qint32 greatest = std::numeric_limits<qint32>::min();
    QHash<qint64, int> carriers; // how many rows of the barcode carry each id
    QList<std::optional<qint64>> ids;
    ids.reserve(rows.size());
    for (const DiskRow &row : rows) {
        greatest = qMax(greatest, row.diskNum);
        ids.append(wholeId(row.diskId));
        if (ids.last())
            ++carriers[*ids.last()];
    }

    int best = -1;   // the tied row with the greatest usable id
    int named = -1;  // the tied row with the greatest DiskID of all, usable or not
    for (int i = 0; i < rows.size(); ++i) {
        if (rows.at(i).diskNum != greatest)
            continue;
        const std::optional<qint64> &id = ids.at(i);
        if (id && carriers.value(*id) == 1 && (best < 0 || *id > *ids.at(best)))
            best = i;
        if (named < 0 || sortKey(rows.at(i).diskId) > sortKey(rows.at(named).diskId))
            named = i;
    }
    if (best >= 0) {
        pick.diskId = ids.at(best);
        pick.rowBar = rows.at(best).bar;
    } else {
        pick.rowBar = rows.at(named).bar;
        pick.reason = reasonFor(rows.at(named).diskId, ids.at(named));
    }
    return pick;
}

} // namespace chongma::dedupe
