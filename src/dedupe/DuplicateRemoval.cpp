#include "dedupe/DuplicateRemoval.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateSearch.h"
#include "text/CodePage.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

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

const QString kDelete = QStringLiteral("delete from diskinfo where DiskID=? and Bar=? ");
const QString kCount = QStringLiteral("select count(*) as n from diskinfo where DiskID=? and Bar=?");

QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

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
    StatementResult deleted = session.run(TData1::Query::Curve, kDelete, values);
    qint64 rows = deleted.rowsAffected;
    if (deleted.ok && rows < 0) {
        // The driver cannot say what it deleted: undo, count first, then delete again.
        session.rollback();
        session.begin();
        rows = session.select(kCount, values).int64(0, QStringLiteral("n"));
        deleted = rows > 1 ? StatementResult{true, rows, {}} : session.run(TData1::Query::Curve, kDelete, values);
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
    if (!committed.ok) {
        session.rollback(committed.error);
        return refused(committed.error);
    }
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

        const qint64 total = plan.picks.size();
        for (qint64 i = 0; i < total; ++i) {
            if (cancel.isCancelled()) {
                outcome.ending = JobEnding::stopped();
                break;
            }
            const RemovalPick &pick = plan.picks.at(i);
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
            sink.progress(i + 1, total);
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
