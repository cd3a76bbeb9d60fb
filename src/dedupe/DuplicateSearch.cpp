#include "dedupe/DuplicateSearch.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"

namespace chongma {

QStringList SearchResult::barcodes() const
{
    QStringList bars;
    bars.reserve(duplicates.size());
    for (const DuplicatePick &pick : duplicates)
        bars.append(pick.barcode);
    return bars;
}

QStringList SearchResult::pickedIds() const
{
    QStringList ids;
    for (const DuplicatePick &pick : duplicates) {
        if (pick.diskId)
            ids.append(QString::number(*pick.diskId));
    }
    return ids;
}

namespace dedupe {

QStringList LoadBars(TData1 &session)
{
    // NULL is no barcode; the order makes two searches of one table list the same thing.
    const ResultSet rows = session.select(
        QStringLiteral("select distinct Bar from diskinfo where Bar is not null order by Bar"));
    QStringList bars;
    bars.reserve(rows.count());
    for (int i = 0; i < rows.count(); ++i)
        bars.append(rows.text(i, QStringLiteral("Bar")));
    return bars;
}

std::optional<DuplicatePick> CheckBar(TData1 &session, const QString &barcode)
{
    const ResultSet rows = session.select(
        QStringLiteral("select DiskID,DiskNum,Bar from diskinfo where Bar=? order by DiskID"), {barcode});
    if (rows.count() <= 1)
        return std::nullopt;
    QList<DiskRow> diskRows;
    diskRows.reserve(rows.count());
    for (int i = 0; i < rows.count(); ++i) {
        diskRows.append({rows.isNull(i, QStringLiteral("DiskID")) ? QVariant() : rows.value(i, QStringLiteral("DiskID")),
                         rows.integer(i, QStringLiteral("DiskNum")), rows.text(i, QStringLiteral("Bar"))});
    }
    return pickRow(barcode, diskRows);
}

SearchResult findDuplicates(TData1 &session, OperationSink &sink, const CancelToken &cancel)
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

} // namespace dedupe
} // namespace chongma
