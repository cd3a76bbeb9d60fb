#pragma once

#include "data/Job.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace chongma {

class OperationSink;
class TData1;
struct SearchResult;

// A row to delete: its DiskID and its own barcode, both matched by the delete.
struct RemovalPick {
    qint64 id = 0;
    QString bar;
};

// What a confirmed removal does, built once from a search's result.
struct RemovalPlan {
    QList<RemovalPick> picks;  // the rows to delete, in search order
    QStringList delLogLines;   // what del.log receives: the duplicated barcodes, in search order

    static RemovalPlan fromSearch(const SearchResult &result);
    qsizetype count() const { return picks.size(); }
    // "N 个重码，确定清除重码吗？"
    QString question() const;
};

struct RemovalFiles {
    QString delLog; // written when the plan has lines
    QString backup; // the deleted rows, written before the first deletion
};

struct RefusedRow {
    qint64 id = 0;
    QString reason; // the database's
};

struct RemovalOutcome {
    JobEnding ending;
    int deleted = 0;           // rows deleted
    int gone = 0;              // no longer there (deleted before, or their barcode changed)
    QList<RefusedRow> refused; // the database refused, or more than the row itself matched
    int backedUp = 0;          // rows written to the backup
    bool backupWritten = false;
    bool delLogWritten = false;
};

namespace dedupe {

enum class DeleteResult { Deleted, Gone, Refused };

// Deletes the row with this DiskID while it still carries `bar`, in a transaction of its own.
// A deletion that would take more than that one row is rolled back and refused. `reason`
// receives the database's reason for a refusal.
DeleteResult DeleteDisk(TData1 &session, qint64 diskId, const QString &bar, QString *reason = nullptr);

// The whole confirmed removal: writes del.log (the duplicated barcodes, known already) and the
// backup of every picked row, flushed to disk, then deletes the rows in batches (one statement and one
// transaction each; a batch in which any row is not exactly its pick's, or that the database
// refuses, is rolled back and deleted row by row), logging, in the picks' order, "删除重码:" + id for a
// deleted row, "重码已不存在:" + id for one no longer there and "重码未删除:" + id for one the
// database refused; a batch's lines are flushed (OperationSink::flushLog) once it is committed.
// A stop ends the deletions at the next batch or row. A file that cannot be written, or a
// database failure beyond one row, ends it as failed; nothing is deleted after either.
RemovalOutcome runRemoval(TData1 &session, const RemovalPlan &plan, const RemovalFiles &files,
                          OperationSink &sink, const CancelToken &cancel);

// Writes `lines` to `path` in code page 936, each ended by CR LF, replacing the file through a
// temporary file and a rename, so a failed write leaves the old file whole. Throws Error
// "Cannot create file <path>: <reason>" or "Stream write error: <reason>".
void writeDelLog(const QString &path, const QStringList &lines);

} // namespace dedupe
} // namespace chongma
