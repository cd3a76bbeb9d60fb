#pragma once

#include "text/LimitedText.h"
#include "watch/FileTime.h"

#include <QByteArray>
#include <QString>

#include <optional>

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

// The configuration record, its config.ini, and the check whether the source file was written
// since the time last accepted.
class SourceWatch {
public:
    explicit SourceWatch(const QString &configPath);

    TConfigRec &config() { return m_config; }
    const TConfigRec &config() const { return m_config; }
    QString configPath() const { return m_configPath; }

    // FilePath, FileName and FileCheckCycle from the [config.ini] section of an existing file.
    // FileCreateTime is not read back: every run accepts the source once more on its first
    // check. Returns whether the file was there; a missing one changes nothing.
    bool loadConfig();

    // FilePath joined with FileName; empty when both are.
    QString sourceFile() const;

    // Writes the four keys into config.ini, keeping everything else in it. Throws Error
    // "Unable to write to <path>" and leaves the file as it was when it cannot.
    void SaveConfig();

    // True when the file at `path` was written later than FileCreateTime; that time is then
    // stored and saved. Throws what SaveConfig throws, the new time already stored.
    bool SourceChanged(const QString &path);

    // Forgets the time the last true SourceChanged accepted (its import failed), so the next
    // check reports that version again. config.ini keeps the newer time; it is not read back.
    void retryLater();

private:
    QString m_configPath;
    TConfigRec m_config;
    std::optional<QByteArray> m_beforeLastChange;
};

} // namespace chongma
