#include "dedupe/DuplicateSearch.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"

namespace chongma {

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
    // Ascending DiskID, so the >= below gives a tie to the greatest DiskID on every server.
    const ResultSet rows = session.select(
        QStringLiteral("select DiskID,DiskNum from diskinfo where Bar=? order by DiskID"), {barcode});
    if (rows.count() <= 1)
        return std::nullopt;

    DuplicatePick pick{barcode, std::nullopt};
    qint32 greatest = 0;
    for (int i = 0; i < rows.count(); ++i) {
        // A row without an identifier cannot be deleted safely: never picked.
        if (rows.isNull(i, QStringLiteral("DiskID")))
            continue;
        const qint32 num = rows.integer(i, QStringLiteral("DiskNum")); // NULL counts as 0
        if (!pick.diskId || num >= greatest) {
            greatest = num;
            pick.diskId = rows.integer(i, QStringLiteral("DiskID"));
        }
    }
    return pick;
}

SearchResult findDuplicates(TData1 &session, OperationSink &sink)
{
    SearchResult result;
    result.barcodes = LoadBars(session);
    const qint64 total = result.barcodes.size();
    for (qint64 i = 0; i < total; ++i) {
        if (std::optional<DuplicatePick> pick = CheckBar(session, result.barcodes.at(i))) {
            sink.addError(pick->barcode);
            result.duplicates.append(std::move(*pick));
        }
        if ((i % 256 == 255 || i + 1 == total) && !sink.progress(i + 1, total))
            throw Error(QStringLiteral("The search was stopped"));
    }
    return result;
}

} // namespace dedupe
} // namespace chongma
