#pragma once

#include "data/ThreadHandoff.h"
#include "import/ImportRun.h"

#include <QObject>
#include <QStringList>

namespace chongma {

class SessionHost;

// One import run in the background: RunImport on the session's database thread, its effects
// arriving as signals (queued to the receivers' thread, in order). Releases itself when done.
class TRunThread : public QObject, public ImportSink {
    Q_OBJECT
public:
    TRunThread(SessionHost &session, const QString &sourceFile, QObject *parent = nullptr);

    // Queues the run; returns at once.
    void start();

    // ImportSink, called on the database thread.
    void clearLog() override
    {
        handoff::release();
        emit logCleared();
    }
    void addLog(const QString &line) override
    {
        handoff::release();
        emit logAdded(line);
    }
    void addError(const QString &line) override
    {
        handoff::release();
        emit errorAdded(line);
    }
    void countersChanged(const ImportCounters &c) override
    {
        handoff::release();
        emit counters(c.sum, c.num, c.exist, c.error, c.wdr);
    }
    bool progress(qint64 done, qint64 total) override;

signals:
    void logCleared();
    void logAdded(const QString &line);
    void errorAdded(const QString &line);
    void counters(int sum, int num, int exist, int error, int wdr);
    // `error` empty after a run that ended normally; `lines` are the cleaned source lines.
    void finished(const QString &error, const QStringList &lines, bool complete);

private:
    SessionHost &m_session;
    QString m_sourceFile;
};

} // namespace chongma
