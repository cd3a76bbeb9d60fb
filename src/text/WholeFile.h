#pragma once

#include <QByteArray>
#include <QString>

namespace chongma {

// How replacing a file went: done, or failed opening it or writing it, in the system's words.
struct FileReplaced {
    enum Stage { Done, Opening, Writing };
    Stage stage = Done;
    QString reason;
    bool ok() const { return stage == Done; }
};

// Replaces the file at `path` with `bytes`, whole or not at all: written beside it, flushed to
// disk and renamed over it, so a crash or a full disk leaves the old file as it was. Unbuffered:
// Qt 6.4's buffered QSaveFile reports a write cut short by a full disk as done and commits the
// cut file.
FileReplaced replaceFile(const QString &path, const QByteArray &bytes);

// replaceFile, throwing Error "Cannot create file <path>: <reason>" or "Stream write error:
// <path>: <reason>".
void writeWholeFile(const QString &path, const QByteArray &bytes);

} // namespace chongma
