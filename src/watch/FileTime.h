#pragma once

#include <QDateTime>
#include <QString>

namespace chongma {

// The one place that asks the file system about a source file; everything that differs per
// platform (which entries count as files, how write times turn into local time) stays here.

// The local last write time of the file at `path`; invalid for a missing path or a directory.
QDateTime fileWriteTime(const QString &path);

// What the source check sees of a path. `exists` only for a regular file whose local write time
// fits a DOS date (1980..2107): Windows gives no file age outside that range, so such a file
// counts as missing.
struct FileStamp {
    bool exists = false;
    QDateTime lastWrite;
    qint64 size = -1;
    friend bool operator==(const FileStamp &, const FileStamp &) = default;
};

FileStamp fileStamp(const QString &path);

} // namespace chongma
