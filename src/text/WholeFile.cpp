#include "text/WholeFile.h"

#include "data/Error.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

namespace chongma {

namespace {

// Qt's words, or the system's where Qt has only "Unknown error"; `error` is errno right after
// the failure.
QString failure(const QString &qtReason, int error)
{
    if (error != 0 && (qtReason.isEmpty() || qtReason == QLatin1String("Unknown error")))
        return qt_error_string(error);
    return qtReason;
}

} // namespace

FileReplaced replaceFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return {FileReplaced::Opening, failure(file.errorString(), errno)};
    errno = 0;
    if (file.write(bytes) != bytes.size()) {
        const QString reason = failure(file.errorString(), errno);
        file.cancelWriting();
        return {FileReplaced::Writing, reason};
    }
    errno = 0;
    if (!file.commit())
        return {FileReplaced::Writing, failure(file.errorString(), errno)};
    // What is on disk now is what was meant to be, or a write failed unseen.
    const qint64 size = QFileInfo(path).size();
    if (size != bytes.size())
        return {FileReplaced::Writing, QStringLiteral("the file holds %1 of %2 bytes").arg(size).arg(bytes.size())};
    return {};
}

void writeWholeFile(const QString &path, const QByteArray &bytes)
{
    const FileReplaced replaced = replaceFile(path, bytes);
    const QString shown = QDir::toNativeSeparators(path);
    if (replaced.stage == FileReplaced::Opening)
        throw Error(QStringLiteral("Cannot create file %1: %2").arg(shown, replaced.reason));
    if (replaced.stage == FileReplaced::Writing)
        throw Error(QStringLiteral("Stream write error: %1: %2").arg(shown, replaced.reason));
}

} // namespace chongma
