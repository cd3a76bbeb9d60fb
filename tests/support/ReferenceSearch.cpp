#include "support/ReferenceSearch.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"

namespace chongma::test {

QStringList LoadBars(TData1 &session)
{
    // NULL is no barcode; the order makes two searches of one table list the same thing.
    const ResultSet rows = session.select(sql::distinctBars());
    QStringList bars;
    bars.reserve(rows.count());
    for (int i = 0; i < rows.count(); ++i)
        bars.append(rows.text(i, QStringLiteral("Bar")));
    return bars;
}

std::optional<DuplicatePick> CheckBar(TData1 &session, const QString &barcode)
{
    const ResultSet rows = session.select(sql::rowsOfBar(), {barcode});
    if (rows.count() <= 1)
        return std::nullopt;
    QList<DiskRow> diskRows;
    diskRows.reserve(rows.count());
    for (int i = 0; i < rows.count(); ++i) {
        const QVariant id = rows.value(i, QStringLiteral("DiskID"));
        const QVariant num = rows.value(i, QStringLiteral("DiskNum"));
        diskRows.append({id, rows.kind(i, QStringLiteral("DiskID")),
                         DiskNumber::of(num, rows.kind(i, QStringLiteral("DiskNum"))), rows.text(i, QStringLiteral("Bar"))});
    }
    return dedupe::pickRow(barcode, diskRows);
}

SearchResult findDuplicatesOneByOne(TData1 &session, OperationSink &sink, const CancelToken &cancel)
{
    SearchResult result;
    try {
        const QStringList bars = LoadBars(session);
        const qint64 total = bars.size();
        for (qint64 i = 0; i < total; ++i) {
            if (cancel.isCancelled()) {
                result.duplicates.clear();
                result.ending = JobEnding::stopped();
                return result;
            }
            if (std::optional<DuplicatePick> pick = CheckBar(session, bars.at(i))) {
                sink.addError(pick->barcode);
                result.duplicates.append(std::move(*pick));
            }
            if (i % 256 == 255 || i + 1 == total)
                sink.progress(i + 1, total);
        }
    } catch (...) {
        result.duplicates.clear();
        result.ending = JobEnding::failed(messageOf(std::current_exception()));
    }
    return result;
}

} // namespace chongma::test
