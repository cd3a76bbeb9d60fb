#include "watch/FileTime.h"

#include <QFileInfo>

namespace chongma {

namespace {

// A regular file, or a link to one; directories, devices and dangling links are not.
bool isPlainFile(const QFileInfo &info)
{
    return !info.filePath().isEmpty() && info.exists() && info.isFile();
}

} // namespace

QDateTime fileWriteTime(const QString &path)
{
    const QFileInfo info(path);
    if (!isPlainFile(info))
        return {};
    // Qt turns the UTC file time into local time with the zone rules of that date (Windows'
    // own FileTimeToLocalFileTime would apply today's daylight bias instead).
    return info.lastModified().toLocalTime();
}

FileStamp fileStamp(const QString &path)
{
    const QFileInfo info(path);
    if (!isPlainFile(info))
        return {};
    const QDateTime written = info.lastModified().toLocalTime();
    const int year = written.date().year();
    if (!written.isValid() || year < 1980 || year > 2107)
        return {};
    return FileStamp{true, written, info.size()};
}

} // namespace chongma
