#pragma once

#include "data/Job.h"

#include <QDateTime>
#include <QList>
#include <QString>

namespace chongma {

class OperationSink;
class TData1;
struct RemovalPick;

namespace dedupe {

// Where the window keeps the backup of a removal: backup/diskinfo-YYYYMMDD-HHMMSS.csv in the
// folder of del.log (a number is added when that name is taken).
QString backupPathFor(const QString &delLogPath, const QDateTime &when);

// Reads every column of each picked row (select *, in batches of ids) and writes them to `path`
// as CSV: UTF-8 with a byte-order mark, a header of the column names, NULL as an empty field and
// the empty text as "". The file is written beside, flushed to disk and renamed into place.
// Returns how many rows it holds. Throws Error when the rows cannot be read or the file written.
// `fromPickTable`: the picks are in the session's pick table, read in one statement.
int writeBackup(TData1 &session, const QList<RemovalPick> &picks, const QString &path, bool fromPickTable = false);

struct RestoreOutcome {
    JobEnding ending;
    int restored = 0; // rows inserted back (or that would be, in a dry run)
    int present = 0;  // rows whose DiskID is in the table already
};

// Inserts back every row of a backup whose DiskID is not in diskinfo, all in one transaction.
// A backup whose columns are not diskinfo's, or holding a value that does not fit its column,
// is refused before anything is written. A dry run only counts. A stop rolls everything back.
RestoreOutcome restoreBackup(TData1 &session, const QString &path, bool dryRun, OperationSink &sink,
                             const CancelToken &cancel);

} // namespace dedupe
} // namespace chongma
