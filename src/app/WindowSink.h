#pragma once

#include "import/ImportRun.h"

#include <QObject>
#include <QStringList>

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace chongma {

// Carries any job's effects from the database thread to the window's thread. Lines are queued
// under a lock of our own and arrive in blocks, one delivery for as many lines as piled up, so a
// search that lists a hundred thousand barcodes does not flood the window with events.
class WindowSink : public QObject, public ImportSink {
    Q_OBJECT
public:
    explicit WindowSink(QObject *parent = nullptr) : QObject(parent) {}

    // From the job (any thread).
    void clearLog() override;
    void addLog(const QString &line) override;
    void addError(const QString &line) override;
    void countersChanged(const ImportCounters &counters) override;
    void progress(qint64 done, qint64 total) override;

public slots:
    // On the window's thread: delivers whatever is pending now.
    void flush();

signals:
    void logCleared();
    void logLines(const QStringList &lines);
    void errorLines(const QStringList &lines);
    void counters(const chongma::ImportCounters &counters);
    void progressed(qint64 done, qint64 total);

private:
    enum class Kind { ClearLog, Log, Error };
    struct Entry {
        Kind kind;
        QString text;
    };
    void push(Kind kind, const QString &text);
    void scheduleLocked();

    std::mutex m_lock;
    std::vector<Entry> m_pending;
    std::optional<ImportCounters> m_counters;
    std::optional<std::pair<qint64, qint64>> m_progress;
    bool m_scheduled = false;
};

} // namespace chongma
