#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

namespace chongma {

// One diskinfo row of a duplicated barcode, as the search reads it.
struct DiskRow {
    QVariant diskId; // as the database gave it; invalid for NULL
    qint32 diskNum = 0; // NULL reads as 0
    QString bar;     // the row's own barcode, exactly as stored
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

// Whether values of this type are integers (of any width or signedness).
bool isIntegerType(QMetaType type);

// A DiskID that names a row: a whole number within 64 bits. NULL, a fraction (a REAL or
// numeric column holding 5.7) or a value beyond what a double holds exactly gives nothing.
std::optional<qint64> wholeId(const QVariant &diskId);

// The pick rule over all rows of one barcode: the greatest DiskNum; among the rows tied on it,
// a usable id wins over an unusable one and the greatest usable id wins. An id is usable when it
// is whole and no other row of the barcode carries it. When no tied row has a usable id the
// barcode gets no id (the named row is then the tied row with the greatest DiskID).
DuplicatePick pickRow(const QString &barcode, const QList<DiskRow> &rows);

} // namespace dedupe
} // namespace chongma
