#include "dedupe/DuplicateRemoval.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateSearch.h"
#include "dedupe/PickRule.h"
#include "text/CodePage.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
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

// Deletes the batch's rows in one statement and one transaction, each row matched by its id and
// its barcode. First, in the same transaction, every id is seen to be on exactly one row, which
// carries its pick's barcode: then ids and barcodes can only pair up as picked, and the delete
// takes exactly those rows. False, with nothing changed, when any pick does not hold so or the
// database refuses: the caller then deletes the batch row by row.
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
    QHash<qint64, int> rowsOfId;
    bool exact = true;
    session.selectEach(sql::idsAndBars(sent), ids, [&](const RowView &row) {
        const std::optional<qint64> id = wholeId(row.value(0));
        if (!id || ++rowsOfId[*id] > 1 || row.text(1) != wanted.value(*id))
            exact = false;
        return exact;
    });
    if (!exact || rowsOfId.size() != picks.size()) {
        session.rollback();
        return false;
    }
    const StatementResult deleted = session.run(TData1::Query::Curve, sql::deleteRows(sent), ids + bars);
    if (!deleted.ok || deleted.rowsAffected != picks.size()) {
        session.rollback(deleted.ok ? QString() : deleted.error);
        return false;
    }
    return session.commit().ok;
}

QString tooManyRows(qint64 rows)
{
    return QStringLiteral("%1 rows carry this DiskID and barcode; the deletion was rolled back").arg(rows);
}

} // namespace

DeleteResult DeleteDisk(TData1 &session, qint64 diskId, const QString &bar, QString *reason)
{
    const QVariantList values{diskId, bar};
    const auto refused = [&](const QString &why) {
        if (reason)
            *reason = why;
        return DeleteResult::Refused;
    };
    session.begin();
    StatementResult deleted = session.run(TData1::Query::Curve, sql::deleteRow(), values);
    qint64 rows = deleted.rowsAffected;
    if (deleted.ok && rows < 0) {
        // The driver cannot say what it deleted: undo, count first, then delete again.
        session.rollback();
        session.begin();
        rows = session.select(sql::countRow(), values).int64(0, QStringLiteral("n"));
        deleted = rows > 1 ? StatementResult{true, rows, {}} : session.run(TData1::Query::Curve, sql::deleteRow(), values);
    }
    if (!deleted.ok) {
        session.rollback(deleted.error);
        return refused(deleted.error);
    }
    if (rows > 1) {
        session.rollback();
        return refused(tooManyRows(rows));
    }
    const StatementResult committed = session.commit();
    if (!committed.ok)
        return refused(committed.error);
    return rows > 0 ? DeleteResult::Deleted : DeleteResult::Gone;
}

void checkWritable(const QString &path)
{
    // Opening a save file makes its temporary file beside the target, which proves the folder
    // takes the rename; cancelling leaves the target as it was.
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly))
        throw Error(QStringLiteral("Cannot create file %1: %2").arg(shown(path), probe.errorString()));
    probe.cancelWriting();
}

void writeDelLog(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += toCodePage(line) + "\r\n";
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw Error(QStringLiteral("Cannot create file %1: %2").arg(shown(path), file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw Error(QStringLiteral("Stream write error: %1: %2").arg(shown(path), file.errorString()));
}

RemovalOutcome runRemoval(TData1 &session, const RemovalPlan &plan, const RemovalFiles &files, OperationSink &sink,
                          const CancelToken &cancel)
{
    RemovalOutcome outcome;
    try {
        const bool writesDelLog = !plan.delLogLines.isEmpty();
        if (writesDelLog)
            checkWritable(files.delLog);
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
                sink.progress(++done, total);
            }
        }

        if (writesDelLog) {
            writeDelLog(files.delLog, plan.delLogLines);
            outcome.delLogWritten = true;
        }
    } catch (...) {
        outcome.ending = JobEnding::failed(messageOf(std::current_exception()));
    }
    return outcome;
}

} // namespace dedupe
} // namespace chongma
