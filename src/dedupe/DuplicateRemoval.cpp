#include "dedupe/DuplicateRemoval.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateSearch.h"
#include "dedupe/PickRule.h"
#include "text/CodePage.h"
#include "text/WholeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

namespace chongma {

RemovalPlan RemovalPlan::fromSearch(const SearchResult &result)
{
    RemovalPlan plan;
    if (!result.ending.isDone())
        return plan; // half a search deletes nothing
    for (const DuplicatePick &pick : result.duplicates) {
        plan.delLogLines.append(pick.barcode);
        if (pick.diskId)
            plan.picks.append({*pick.diskId, pick.rowBar});
    }
    return plan;
}

QString RemovalPlan::question() const { return QStringLiteral("%1 个重码，确定清除重码吗？").arg(picks.size()); }

namespace dedupe {

namespace {


QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

// One row as the table holds it, for telling what a deletion changed.
struct HeldRow {
    std::optional<qint64> id;
    QString idText; // how the id reads, whatever it is
    bool nullBar = false;
    QString bar;
    bool operator==(const HeldRow &other) const
    {
        return idText == other.idText && nullBar == other.nullBar && bar == other.bar;
    }
};

size_t qHash(const HeldRow &row, size_t seed = 0) { return ::qHash(row.idText, seed) ^ ::qHash(row.bar, seed); }

// Every row of these barcodes, as the server compares them.
QList<HeldRow> rowsOfBars(TData1 &session, const QVariantList &bars, bool locked)
{
    QList<HeldRow> rows;
    session.selectEach(sql::rowsOfBars(bars.size(), session.dialect(), locked), bars, [&](const RowView &row) {
        rows.append({wholeId(row.value(0), row.kind(0)), row.isNull(0) ? QStringLiteral("<null>") : row.text(0),
                     row.isNull(1), row.text(1)});
        return true; // read to the end: a select closed early must not run again on some drivers
    });
    return rows;
}

// Whether `after` is `before` without exactly the rows `gone` (as multisets).
bool leftExactly(const QList<HeldRow> &before, const QList<HeldRow> &gone, const QList<HeldRow> &after)
{
    QHash<HeldRow, int> expected;
    for (const HeldRow &row : before)
        ++expected[row];
    for (const HeldRow &row : gone) {
        if (--expected[row] < 0)
            return false;
    }
    for (const HeldRow &row : after) {
        if (--expected[row] < 0)
            return false;
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() != 0)
            return false;
    }
    return true;
}

// Deletes the batch's rows in one statement and one transaction, each row matched by its id and
// its barcode, and judges it by what the table holds, never by a count a driver gives (triggers
// add their own, some servers give none). In the transaction, the rows of the batch's barcodes
// are read and held; every id must be on exactly one of them, which carries its pick's barcode:
// then ids and barcodes can only pair up as picked. After the delete those barcodes must hold
// exactly their rows but the picked ones. False, with nothing changed, when any of that does
// not hold or the database refuses: the caller then deletes the batch row by row. A commit
// that fails throws Error.
bool deleteBatch(TData1 &session, const QList<RemovalPick> &picks)
{
    QVariantList ids;
    QVariantList bars;
    ids.reserve(picks.size());
    bars.reserve(picks.size());
    QHash<qint64, QString> wanted;
    for (const RemovalPick &pick : picks) {
        ids << pick.id;
        bars << pick.bar;
        wanted.insert(pick.id, pick.bar);
    }
    const qsizetype sent = sql::paddedSize(picks.size());
    sql::padList(ids, sent);
    sql::padList(bars, sent);
    session.begin();
    const QList<HeldRow> before = rowsOfBars(session, bars, true);
    QList<HeldRow> picked;
    QHash<qint64, int> rowsOfId;
    bool exact = true;
    for (const HeldRow &row : before) {
        if (!row.id || !wanted.contains(*row.id))
            continue;
        if (++rowsOfId[*row.id] > 1 || row.nullBar || row.bar != wanted.value(*row.id))
            exact = false;
        picked.append(row);
    }
    if (!exact || rowsOfId.size() != picks.size()) {
        session.rollback();
        return false;
    }
    const StatementResult deleted = session.run(TData1::Query::Curve, sql::deleteRows(sent), ids + bars);
    if (!deleted.ok) {
        session.rollback(deleted.error);
        return false;
    }
    if (!leftExactly(before, picked, rowsOfBars(session, bars, false))) {
        session.rollback();
        return false;
    }
    // A batch that cannot be committed (another connection's lock held past the time limit)
    // is no fault of its rows: one by one they would each wait as long, and fail alike.
    const StatementResult committed = session.commit();
    if (!committed.ok)
        throw Error(committed.error);
    return true;
}

QString tooManyRows(qint64 rows)
{
    return QStringLiteral("%1 rows carry this DiskID and barcode; the deletion was rolled back").arg(rows);
}

} // namespace

DeleteResult DeleteDisk(TData1 &session, qint64 diskId, const QString &bar, QString *reason)
{
    const auto refused = [&](const QString &why) {
        if (reason)
            *reason = why;
        return DeleteResult::Refused;
    };
    // As the batch: the barcode's rows held, the delete judged by what it left.
    const QVariantList bars{bar};
    session.begin();
    const QList<HeldRow> before = rowsOfBars(session, bars, true);
    QList<HeldRow> picked;
    for (const HeldRow &row : before) {
        if (row.id == diskId)
            picked.append(row);
    }
    if (picked.isEmpty()) {
        session.rollback();
        return DeleteResult::Gone;
    }
    if (picked.size() > 1) {
        session.rollback();
        return refused(tooManyRows(picked.size()));
    }
    const StatementResult deleted = session.run(TData1::Query::Curve, sql::deleteRow(), {diskId, bar});
    if (!deleted.ok) {
        session.rollback(deleted.error);
        return refused(deleted.error);
    }
    if (!leftExactly(before, picked, rowsOfBars(session, bars, false))) {
        session.rollback();
        return refused(QStringLiteral("the deletion did not leave the other rows of its barcode as they were and take "
                                      "this one (a trigger or rule of the table?); it was rolled back"));
    }
    const StatementResult committed = session.commit();
    if (!committed.ok)
        return refused(committed.error);
    return DeleteResult::Deleted;
}

void writeDelLog(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += toCodePage(line) + "\r\n";
    writeWholeFile(path, bytes);
}

RemovalOutcome runRemoval(TData1 &session, const RemovalPlan &plan, const RemovalFiles &files, OperationSink &sink,
                          const CancelToken &cancel)
{
    RemovalOutcome outcome;
    try {
        // del.log's lines are the search's, known before the first deletion: written now, whole,
        // so a file that cannot be written stops the removal before anything is deleted.
        if (!plan.delLogLines.isEmpty()) {
            writeDelLog(files.delLog, plan.delLogLines);
            outcome.delLogWritten = true;
        }
        if (!plan.picks.isEmpty()) {
            if (cancel.isCancelled()) {
                outcome.ending = JobEnding::stopped();
                return outcome;
            }
            outcome.backedUp = writeBackup(session, plan.picks, files.backup);
            outcome.backupWritten = true;
            sink.addLog(QStringLiteral("已备份:") + shown(files.backup));
        }

        const qsizetype total = plan.picks.size();
        qsizetype done = 0;
        while (done < total && !outcome.ending.isStopped()) {
            if (cancel.isCancelled()) {
                outcome.ending = JobEnding::stopped();
                break;
            }
            // The next batch: up to its size, and no id twice.
            QList<RemovalPick> batch;
            QSet<qint64> ids;
            for (qsizetype i = done; i < total && batch.size() < sql::kDeleteBatch; ++i) {
                if (ids.contains(plan.picks.at(i).id))
                    break;
                ids.insert(plan.picks.at(i).id);
                batch.append(plan.picks.at(i));
            }
            if (batch.size() > 1 && deleteBatch(session, batch)) {
                for (const RemovalPick &pick : std::as_const(batch))
                    sink.addLog(QStringLiteral("删除重码:") + QString::number(pick.id));
                sink.flushLog(); // committed: its lines must survive whatever comes next
                outcome.deleted += int(batch.size());
                done += batch.size();
                sink.progress(done, total);
                continue;
            }
            for (const RemovalPick &pick : std::as_const(batch)) {
                if (cancel.isCancelled()) {
                    outcome.ending = JobEnding::stopped();
                    break;
                }
                const QString id = QString::number(pick.id);
                QString reason;
                switch (DeleteDisk(session, pick.id, pick.bar, &reason)) {
                case DeleteResult::Deleted:
                    ++outcome.deleted;
                    sink.addLog(QStringLiteral("删除重码:") + id);
                    break;
                case DeleteResult::Gone:
                    ++outcome.gone;
                    sink.addLog(QStringLiteral("重码已不存在:") + id);
                    break;
                case DeleteResult::Refused:
                    outcome.refused.append({pick.id, reason});
                    sink.addLog(QStringLiteral("重码未删除:") + id);
                    break;
                }
                sink.flushLog();
                sink.progress(++done, total);
            }
        }

    } catch (...) {
        outcome.ending = JobEnding::failed(messageOf(std::current_exception()));
    }
    return outcome;
}

} // namespace dedupe
} // namespace chongma
