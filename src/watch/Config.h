#pragma once

#include "text/LimitedText.h"

#include <QByteArray>
#include <QString>


namespace chongma {

// What config.ini holds. Texts are code page 936 bytes.
struct TConfigRec {
    LimitedText<255> FilePath;
    LimitedText<255> FileName;
    LimitedText<50> FileCreateTime; // the source's last write time as last accepted
    qint32 FileCheckCycle = 0;
};

// "YYYY-MM-DD HH:MM:SS", local time, of the file's last write; the date-time 0
// (1899-12-30 00:00:00) for a missing path or a directory. Fixed-width fields, so two texts
// compare in time order byte by byte.
QByteArray GetFileTimeText(const QString &path);

// FilePath, FileName and FileCheckCycle from the [config.ini] section of the file at `path`.
// Returns whether the file was there; a missing one changes nothing.
bool readConfig(const QString &path, TConfigRec &config);

// Writes the four keys into the file at `path`, keeping everything else in it. Throws Error
// "Unable to write to <path>: <reason>" and leaves the file as it was when it cannot.
void writeConfig(const QString &path, const TConfigRec &config);

} // namespace chongma
