#pragma once

#include "data/DataLink.h"
#include "data/OperationSink.h"
#include "data/ThreadHandoff.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace chongma {

class TData1;

// Owns the session on a database thread of its own: a Qt Sql connection may only be used on
// the thread that opened it. Jobs run there one after another; their outcome comes back to the
// host's own thread (the window's) as a queued call.
class SessionHost : public QObject {
    Q_OBJECT
public:
    using Job = std::function<void(TData1 &)>;
    // Called on the host's thread; `error` is empty when the job ran to its end.
    using Done = std::function<void(const QString &error)>;

    explicit SessionHost(QObject *parent = nullptr);
    ~SessionHost() override; // waits for the running job, then closes the session on its thread

    // Opens the session on the database thread and waits for it. Rethrows ConnectionError or
    // SetupError (or anything else the opening threw) on the calling thread.
    void open(const DataLink &link);
    bool isOpen() const { return m_session != nullptr; }

    // Queues `job` on the database thread; `done` follows on the host's thread, unless `context`
    // is gone by then.
    void post(Job job, QObject *context, Done done);

    // Runs `job` on the database thread and waits for it; rethrows what it threw.
    void call(const Job &job);

    // Asks the running and queued jobs to stop at their next safe point.
    void requestStop() { m_stop.store(true); }
    bool stopRequested() const { return m_stop.load(); }
    const std::atomic_bool *stopFlag() const { return &m_stop; }

private slots:
    void deliverOutcomes(); // on the host's thread

private:
    struct Outcome {
        QPointer<QObject> context;
        Done done;
        QString error;
    };
    class Worker;
    void runBlocking(const std::function<void()> &fn); // on the database thread; waits for it

    QThread m_thread;
    Worker *m_worker = nullptr; // lives on m_thread
    std::unique_ptr<TData1> m_session;
    std::atomic_bool m_stop{false};
    // The hand-overs between the threads go through these queues under a lock of our own; Qt's
    // event queue only wakes the other side (ThreadSanitizer sees this lock, not Qt's).
    std::mutex m_lock;
    std::deque<std::function<void()>> m_jobs;
    std::deque<Outcome> m_outcomes;
};

// An OperationSink whose effects arrive as signals; connected to an object of another thread
// they are queued to that thread, in the order they were made.
class SignalSink : public QObject, public OperationSink {
    Q_OBJECT
public:
    explicit SignalSink(const std::atomic_bool *stop = nullptr, QObject *parent = nullptr)
        : QObject(parent), m_stop(stop) {}
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
    bool progress(qint64 done, qint64 total) override
    {
        handoff::release();
        emit progressed(done, total);
        return !(m_stop && m_stop->load());
    }

signals:
    void logAdded(const QString &line);
    void errorAdded(const QString &line);
    void progressed(qint64 done, qint64 total);

private:
    const std::atomic_bool *m_stop;
};

} // namespace chongma
