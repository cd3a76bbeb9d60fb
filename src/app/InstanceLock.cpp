#include "app/InstanceLock.h"

#include <QDir>
#include <QStandardPaths>

namespace chongma {

InstanceLock::InstanceLock(const QString &folder)
{
    QString dir = folder;
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    m_path = QDir(dir).filePath(QString::fromLatin1(kName) + QStringLiteral(".lock"));
}

bool InstanceLock::acquire()
{
    m_lock = std::make_unique<QLockFile>(m_path);
    m_lock->setStaleLockTime(0); // only a dead owner makes the lock stale, never its age
    if (m_lock->tryLock(0))
        return true;
    // Held by a live copy: the one case that stops start-up. Any other failure lets it go on.
    return m_lock->error() != QLockFile::LockFailedError;
}

} // namespace chongma
