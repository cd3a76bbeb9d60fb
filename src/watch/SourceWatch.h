#pragma once

#include "watch/Config.h"
#include "watch/FileTime.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace chongma {

// The configuration record, its config.ini, and the check whether the source file was written
// since the time last accepted.
class SourceWatch {
public:
    explicit SourceWatch(const QString &configPath);

    TConfigRec &config() { return m_config; }
    const TConfigRec &config() const { return m_config; }
    QString configPath() const { return m_configPath; }

    // FilePath, FileName and FileCheckCycle from config.ini. FileCreateTime is not read back:
    // every run accepts the source once more on its first check. Returns whether the file was
    // there; a missing one changes nothing.
    bool loadConfig();

    // FilePath joined with FileName; empty when both are.
    QString sourceFile() const;

    // Writes the four keys into config.ini. Throws Error "Unable to write to <path>: <reason>".
    void SaveConfig();

    // True when the file at `path` was written later than FileCreateTime; that time is then
    // stored and saved. When config.ini cannot be written the time is not kept (the same
    // version is reported again at the next check) and the error is thrown.
    bool SourceChanged(const QString &path);

    // Forgets the time the last true SourceChanged accepted (its import failed), so the next
    // check reports that version again. config.ini keeps the newer time; it is not read back.
    void retryLater();

private:
    QString m_configPath;
    TConfigRec m_config;
    std::optional<QByteArray> m_beforeLastChange;
};

// One look at the source file after another, as the window's timer and `chongma-cli watch`
// take them: a version is imported only once its size and write time have held still between
// two looks and it is newer than the last one imported.
class SourceCheck {
public:
    enum class Verdict {
        Missing,   // no file (or none the check can date)
        Moving,    // size or write time changed since the previous look: wait
        Unchanged, // held still, and not newer than the last version imported
        Changed,   // held still and newer: import it (its time is in config.ini now)
    };

    explicit SourceCheck(SourceWatch &watch) : m_watch(watch) {}

    // Throws what SourceChanged throws; the version is then looked at again next time.
    Verdict look(const QString &path);
    // The import of the version just reported Changed failed: report it again at the next look.
    void importFailed() { m_watch.retryLater(); }

private:
    SourceWatch &m_watch;
    FileStamp m_previous;
};

} // namespace chongma
