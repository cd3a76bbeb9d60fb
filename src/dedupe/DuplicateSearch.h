#pragma once

#include "data/Job.h"
#include "dedupe/PickRule.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace chongma {

class OperationSink;
class TData1;

struct SearchResult {
    JobEnding ending;
    QList<DuplicatePick> duplicates; // in barcode order; empty unless the search ran to its end

    QStringList barcodes() const;  // the duplicated barcodes, in order
    QStringList pickedIds() const; // the picked identifiers as decimal text, in order
};

namespace dedupe {

// The whole search: the server finds the duplicated barcodes in one grouped statement and only
// their rows are read, barcode by barcode, each group then picked by the pick rule. Each
// duplicated barcode goes to sink.addError as it is found; progress counts the rows read. A
// stopped search keeps nothing: half a search must never lead to a deletion. Database errors
// end it as failed.
SearchResult findDuplicates(TData1 &session, OperationSink &sink, const CancelToken &cancel);

// Whether diskinfo's Bar has an index, as far as the catalogue tells (assumed where it does not).
bool barIndexed(TData1 &session);

} // namespace dedupe
} // namespace chongma
