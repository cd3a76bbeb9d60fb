#pragma once

#include "data/Job.h"
#include "dedupe/PickRule.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

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

// The distinct non-NULL barcodes of diskinfo, ascending.
QStringList LoadBars(TData1 &session);

// The rows carrying `barcode`: nothing when at most one row does, else the pick.
std::optional<DuplicatePick> CheckBar(TData1 &session, const QString &barcode);

// The whole search. Each duplicated barcode goes to sink.addError as it is found. A stopped
// search keeps nothing: half a search must never lead to a deletion. Database errors end it
// as failed.
SearchResult findDuplicates(TData1 &session, OperationSink &sink, const CancelToken &cancel);

} // namespace dedupe
} // namespace chongma
