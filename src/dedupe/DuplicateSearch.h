#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace chongma {

class OperationSink;
class TData1;

// One barcode found on more than one row, and the row picked for removal: the greatest DiskNum,
// a tie going to the greatest DiskID. No identifier when no row can be picked (all DiskIDs NULL).
struct DuplicatePick {
    QString barcode;
    std::optional<qint32> diskId;
};

struct SearchResult {
    QStringList barcodes;         // every distinct barcode, ascending
    QList<DuplicatePick> duplicates; // the duplicated ones, in the same order

    // The picked identifiers as decimal text, in order: exactly the rows a removal deletes.
    QStringList pickedIds() const;
};

namespace dedupe {

// The distinct non-NULL barcodes of diskinfo, ascending.
QStringList LoadBars(TData1 &session);

// The rows carrying `barcode`: nothing when at most one row does, else the pick.
std::optional<DuplicatePick> CheckBar(TData1 &session, const QString &barcode);

// The whole search. Each duplicated barcode goes to sink.addError as it is found;
// progress(done, total) counts barcodes, and false from it stops the search (Error thrown).
SearchResult findDuplicates(TData1 &session, OperationSink &sink);

} // namespace dedupe
} // namespace chongma
