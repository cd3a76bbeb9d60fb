#include "watch/SourceWatch.h"

#include "text/CodePage.h"

#include <QDir>

namespace chongma {

SourceWatch::SourceWatch(const QString &configPath) : m_configPath(configPath) {}

bool SourceWatch::loadConfig() { return readConfig(m_configPath, m_config); }

QString SourceWatch::sourceFile() const
{
    QString folder = QDir::fromNativeSeparators(fromCodePage(m_config.FilePath));
    const QString name = QDir::fromNativeSeparators(fromCodePage(m_config.FileName));
    if (folder.isEmpty())
        return QDir::toNativeSeparators(name);
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return QDir::toNativeSeparators(folder + name);
}

void SourceWatch::SaveConfig() { writeConfig(m_configPath, m_config); }

bool SourceWatch::SourceChanged(const QString &path)
{
    if (!fileStamp(path).exists)
        return false;
    // Looked up again: a file gone since then gives the date-time 0, compared like any time.
    const QByteArray now = GetFileTimeText(path);
    const QByteArray before = m_config.FileCreateTime;
    if (now.compare(before) <= 0)
        return false;
    m_beforeLastChange.reset();
    m_config.FileCreateTime = now;
    try {
        SaveConfig();
    } catch (...) {
        // Not recorded, so not imported: the next check offers this version again.
        m_config.FileCreateTime = before;
        throw;
    }
    m_beforeLastChange = before;
    return true;
}

void SourceWatch::retryLater()
{
    if (!m_beforeLastChange)
        return;
    m_config.FileCreateTime = *m_beforeLastChange;
    m_beforeLastChange.reset();
}

SourceCheck::Verdict SourceCheck::look(const QString &path)
{
    const FileStamp now = fileStamp(path);
    const bool settled = now.exists && now == m_previous;
    m_previous = now;
    if (!now.exists)
        return Verdict::Missing;
    if (!settled)
        return Verdict::Moving;
    return m_watch.SourceChanged(path) ? Verdict::Changed : Verdict::Unchanged;
}

} // namespace chongma
