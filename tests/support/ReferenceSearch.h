#pragma once

#include "data/Job.h"
#include "dedupe/DuplicateSearch.h"
#include "dedupe/PickRule.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace chongma {

class OperationSink;
class TData1;

namespace test {

// The duplicate search one barcode at a time (one select for the barcodes, one per barcode):
// slow and plain, the reference the grouped search is checked against.
QStringList LoadBars(TData1 &session);
std::optional<DuplicatePick> CheckBar(TData1 &session, const QString &barcode);
SearchResult findDuplicatesOneByOne(TData1 &session, OperationSink &sink, const CancelToken &cancel);

} // namespace test
} // namespace chongma
