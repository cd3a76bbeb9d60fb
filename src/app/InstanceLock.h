#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace chongma {

// One running copy per log-on session: a lock file in the user's runtime folder. A lock left by
// a copy that crashed is taken over (its process is gone).
class InstanceLock {
public:
    static constexpr const char *kName = "{814C517E-BECD-4FC8-8369-5EF4B01F1E37}";

    // `folder` empty: the user's runtime folder.
    explicit InstanceLock(const QString &folder = {});
    // False when another live copy holds the lock. A folder that cannot hold a lock counts as
    // no other copy running.
    bool acquire();
    QString path() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace chongma
