#include "app/WindowSink.h"

namespace chongma {

void WindowSink::scheduleLocked()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    // Invoked by name: the call then carries no functor of ours across threads, only Qt's own
    // (uninstrumented) event, and everything it delivers is under m_lock.
    QMetaObject::invokeMethod(this, "flush", Qt::QueuedConnection);
}

void WindowSink::push(Kind kind, const QString &text)
{
    std::lock_guard lock(m_lock);
    m_pending.push_back({kind, text});
    scheduleLocked();
}

void WindowSink::clearLog() { push(Kind::ClearLog, {}); }

void WindowSink::addLog(const QString &line) { push(Kind::Log, line); }

void WindowSink::addError(const QString &line) { push(Kind::Error, line); }

void WindowSink::countersChanged(const ImportCounters &c)
{
    std::lock_guard lock(m_lock);
    m_counters = c;
    scheduleLocked();
}

void WindowSink::progress(qint64 done, qint64 total)
{
    std::lock_guard lock(m_lock);
    m_progress = std::make_pair(done, total);
    scheduleLocked();
}

void WindowSink::flush()
{
    std::vector<Entry> entries;
    std::optional<ImportCounters> counts;
    std::optional<std::pair<qint64, qint64>> progressed;
    {
        std::lock_guard lock(m_lock);
        entries.swap(m_pending);
        counts.swap(m_counters);
        progressed.swap(m_progress);
        m_scheduled = false;
    }
    // Runs of lines of one kind go out as one block; the order within each memo is kept.
    QStringList block;
    Kind blockKind = Kind::Log;
    const auto send = [&] {
        if (block.isEmpty())
            return;
        if (blockKind == Kind::Log)
            emit logLines(block);
        else
            emit errorLines(block);
        block.clear();
    };
    for (Entry &entry : entries) {
        if (entry.kind == Kind::ClearLog) {
            send();
            emit logCleared();
            continue;
        }
        if (entry.kind != blockKind)
            send();
        blockKind = entry.kind;
        block.append(std::move(entry.text));
    }
    send();
    if (counts)
        emit counters(*counts);
    if (progressed)
        emit this->progressed(progressed->first, progressed->second);
}

} // namespace chongma
