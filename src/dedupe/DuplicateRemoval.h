#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace chongma {

class OperationSink;
class TData1;

// A row to delete: its DiskID as the search wrote it, and the barcode it was picked for.
struct RemovalEntry {
    QString id;
    QString barcode;
};

struct RemovalOutcome {
    int deleted = 0; // rows deleted
    int gone = 0;    // no longer there (deleted before, or their barcode changed)
    int refused = 0; // statement or commit failed and was rolled back
};

namespace dedupe {

// Deletes the row only while it still carries `barcode`, in a transaction of its own.
// True when committed (`deleted` says whether a row matched), false when rolled back.
bool DeleteDisk(TData1 &session, qint32 diskId, const QString &barcode, bool *deleted);

// Deletes every entry in order, one transaction each. Logs "删除重码:" + id for a deleted row and
// "重码已不存在:" + id for one that no longer matched; a refused deletion logs nothing. An entry
// that is not an integer, a failing begin or rollback throws Error and ends the removal there.
RemovalOutcome removeDuplicates(TData1 &session, const QList<RemovalEntry> &entries, OperationSink &sink);

// Writes `lines` to `path` in code page 936, each ended by CR LF, replacing the file.
// Throws Error "Cannot create file <path>" or "Stream write error".
void writeDelLog(const QString &path, const QStringList &lines);

} // namespace dedupe
} // namespace chongma
