#include "dedupe/DuplicateSearch.h"

#include "data/Catalog.h"
#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"

#include <QScopeGuard>

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

SearchResult findDuplicates(TData1 &session, OperationSink &sink, const CancelToken &cancel)
{
    SearchResult result;
    try {
        QString group;       // the barcode whose rows are being read
        QList<DiskRow> rows; // its rows
        qint64 size = 0;     // how many rows it has, as the server counted them
        qint64 read = 0;
        const auto closeGroup = [&] {
            if (rows.size() > 1) { // a group the join lost rows of between the two reads is no duplicate
                DuplicatePick pick = pickRow(group, rows);
                sink.addError(pick.barcode);
                result.duplicates.append(std::move(pick));
            }
            rows.clear();
        };
        bool stopped = false;
        bool apart = false; // a barcode's rows did not come together
        // With an index on Bar the one statement's plan uses it, and stays. Only SQLite is
        // asked (no round trip elsewhere).
        const Dialect dialect = session.dialect();
        QStringList create;
        if (!sql::createDuplicateTable(dialect).isEmpty() && !barIndexed(session)) {
            const std::optional<sql::Collation> collation =
                catalog::copyCollation(session, QStringLiteral("diskinfo"), QStringLiteral("Bar"));
            if (collation)
                create = sql::createDuplicateTable(dialect, *collation);
        }
        // The table goes however the search ends.
        const auto dropTable = qScopeGuard([&] {
            if (!create.isEmpty())
                session.tidyUp(sql::dropDuplicateTable(dialect));
        });
        for (const QString &statement : create)
            session.execDirect(statement);
        session.selectEach(sql::duplicateRows(!create.isEmpty()), {}, [&](const RowView &row) {
            // The first row of a barcode names it and tells how many rows follow.
            QString bar = row.text(3);
            if (rows.size() == size) {
                closeGroup();
                group = bar;
                size = row.integer(0);
            } else if (row.integer(0) != size) {
                apart = true;
                return false;
            }
            rows.append({row.value(1), row.kind(1), DiskNumber::of(row.value(2), row.kind(2)), std::move(bar)});
            if (++read % 1024 == 0) {
                sink.progress(read, 0);
                if (cancel.isCancelled()) {
                    stopped = true;
                    return false;
                }
            }
            return true;
        });
        if (stopped || cancel.isCancelled()) {
            result.duplicates.clear();
            result.ending = JobEnding::stopped();
            return result;
        }
        if (apart || rows.size() != size)
            throw Error(QStringLiteral("The database returned the rows of a barcode apart"));
        closeGroup();
        sink.progress(read, read);
    } catch (...) {
        result.duplicates.clear();
        result.ending = JobEnding::failed(messageOf(std::current_exception()));
    }
    return result;
}

bool barIndexed(TData1 &session)
{
    return catalog::leadsIndex(session, QStringLiteral("diskinfo"), QStringLiteral("Bar")).value_or(true);
}

} // namespace dedupe
} // namespace chongma
