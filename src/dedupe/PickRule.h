#pragma once

#include "data/StatementPath.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

namespace chongma {

// A DiskNum exactly as the server holds it: whole numbers, reals and decimals compare by their
// values, never rounded. NULL reads as 0.
class DiskNumber {
public:
    DiskNumber() = default;
    // Throws Error for a value that is no number (a text such as "abc").
    static DiskNumber of(const QVariant &value, ValueKind kind);
    static DiskNumber whole(qint64 n);
    // Negative, zero or positive as this is below, equal to or above `other`. NaN sorts above
    // every number and equals itself, as PostgreSQL orders it.
    int compare(const DiskNumber &other) const;
    bool operator==(const DiskNumber &other) const { return compare(other) == 0; }
    QString toString() const;

private:
    enum class Form { Whole, Real, Decimal };
    Form m_form = Form::Whole;
    qint64 m_whole = 0;
    double m_real = 0;
    bool m_negative = false; // a decimal's sign, integer digits (no leading zeros) and fraction
    QString m_integer;       // digits (no trailing zeros)
    QString m_fraction;
};

// One diskinfo row of a duplicated barcode, as the search reads it.
struct DiskRow {
    QVariant diskId; // as the database gave it; invalid for NULL
    ValueKind idKind = ValueKind::Null;
    DiskNumber diskNum; // NULL reads as 0
    QString bar;        // the row's own barcode, exactly as stored
};

// One barcode found on more than one row, and the row picked for removal. Without an id when
// the picked row cannot be named safely; `reason` then says why.
struct DuplicatePick {
    QString barcode;              // as listed
    std::optional<qint64> diskId; // the picked row's DiskID
    QString rowBar;               // the picked row's own barcode: the delete matches it exactly
    QString reason;               // why there is no id
};

namespace dedupe {

// A DiskID that names a row: a whole number within 64 bits, held as a number. NULL, a fraction
// (a REAL or numeric column holding 5.7), a value beyond 64 bits or a text ("5" in a SQLite
// column without a type, which a bound number never matches) gives nothing.
std::optional<qint64> wholeId(const QVariant &diskId, ValueKind kind);

// Why a DiskID cannot name a row.
QString unusableIdReason(const QVariant &diskId, ValueKind kind);

// The pick rule over all rows of one barcode: the greatest DiskNum; among the rows tied on it,
// a usable id wins over an unusable one and the greatest usable id wins. An id is usable when it
// is whole and no other row of the barcode carries it. When no tied row has a usable id the
// barcode gets no id (the named row is then the tied row with the greatest DiskID).
DuplicatePick pickRow(const QString &barcode, const QList<DiskRow> &rows);

} // namespace dedupe
} // namespace chongma
