#pragma once

#include "data/Connection.h"
#include "data/DataLink.h"
#include "data/Job.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace chongma {

// Owns the connection on a database thread of its own: a Qt Sql connection may only be used on
// the thread that opened it. Jobs run there one after another, each with a cancel token of its
// own; their typed result comes back to the host's own thread (the window's) as a queued call.
class SessionHost : public QObject {
    Q_OBJECT
public:
    explicit SessionHost(QObject *parent = nullptr);
    ~SessionHost() override; // cancels the jobs, waits for the running one, then closes the session

    // Opens the session on the database thread and waits for it. Rethrows ConnectionError or
    // SetupError (or anything else the opening threw) on the calling thread.
    void open(const DataLink &link);
    bool isOpen() const { return m_connection != nullptr; }

    // Queues `job` on the database thread; `done` receives its result on the host's thread,
    // unless `context` is gone by then. R carries a JobEnding `ending`: an exception the job
    // lets escape (a connection that cannot be opened again, say) arrives as a failed ending.
    template <class R>
    void post(const std::shared_ptr<CancelToken> &cancel, std::function<R(Connection &, const CancelToken &)> job,
              QObject *context, std::function<void(R)> done)
    {
        auto result = std::make_shared<R>();
        postJob(
            cancel, [job = std::move(job), result, cancel](Connection &c) { *result = job(c, *cancel); }, context,
            [done = std::move(done), result](const QString &error) {
                if (!error.isEmpty())
                    result->ending = JobEnding::failed(error);
                done(std::move(*result));
            });
    }

    // Runs `job` on the database thread and waits for it; rethrows what it threw.
    void call(const std::function<void(Connection &)> &job);

    // Asks every queued and running job to stop at its next boundary.
    void cancelAll();

private slots:
    void deliverOutcomes(); // on the host's thread

private:
    using RawJob = std::function<void(Connection &)>;
    using RawDone = std::function<void(const QString &error)>;
    struct Outcome {
        QPointer<QObject> context;
        RawDone done;
        QString error;
    };
    class Worker;
    void postJob(const std::shared_ptr<CancelToken> &cancel, RawJob job, QObject *context, RawDone done);
    void runBlocking(const std::function<void()> &fn); // on the database thread; waits for it

    QThread m_thread;
    Worker *m_worker = nullptr; // lives on m_thread
    std::unique_ptr<Connection> m_connection;
    // The hand-overs between the threads go through these queues under a lock of our own; Qt's
    // event queue only wakes the other side (ThreadSanitizer sees this lock, not Qt's).
    std::mutex m_lock;
    std::deque<std::function<void()>> m_jobs;
    std::deque<Outcome> m_outcomes;
    std::vector<std::weak_ptr<CancelToken>> m_tokens; // of the jobs not yet finished
};

} // namespace chongma
