#include "data/SessionHost.h"

#include "data/Error.h"
#include "data/Session.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <condition_variable>
#include <exception>

namespace chongma {

// Runs the queued jobs on the database thread, woken by a queued call per job.
class SessionHost::Worker : public QObject {
public:
    explicit Worker(SessionHost &host) : m_host(host) {}

protected:
    // One wake-up per queued job; the event itself carries nothing.
    void customEvent(QEvent *) override
    {
        std::function<void()> job;
        {
            std::lock_guard lock(m_host.m_lock);
            if (m_host.m_jobs.empty())
                return;
            job = std::move(m_host.m_jobs.front());
            m_host.m_jobs.pop_front();
        }
        job();
    }

private:
    SessionHost &m_host;
};

SessionHost::SessionHost(QObject *parent) : QObject(parent)
{
    m_thread.setObjectName(QStringLiteral("database"));
    m_worker = new Worker(*this);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

SessionHost::~SessionHost()
{
    cancelAll();
    // Queued behind whatever is still running: the session is closed on its own thread.
    runBlocking([this] { m_connection.reset(); });
    m_thread.quit();
    m_thread.wait();
}

void SessionHost::cancelAll()
{
    std::lock_guard lock(m_lock);
    for (const std::weak_ptr<CancelToken> &weak : m_tokens) {
        if (const std::shared_ptr<CancelToken> token = weak.lock())
            token->cancel();
    }
}

void SessionHost::runBlocking(const std::function<void()> &fn)
{
    if (QThread::currentThread() == &m_thread)
        throw Error(QStringLiteral("a blocking call from the database thread"));
    std::condition_variable finishedSignal;
    bool finished = false;
    {
        std::lock_guard lock(m_lock);
        m_jobs.push_back([&] {
            fn();
            std::lock_guard doneLock(m_lock);
            finished = true;
            finishedSignal.notify_all();
        });
    }
    QCoreApplication::postEvent(m_worker, new QEvent(QEvent::User));
    std::unique_lock lock(m_lock);
    finishedSignal.wait(lock, [&] { return finished; });
}

void SessionHost::open(const DataLink &link)
{
    std::exception_ptr failure;
    runBlocking([&] {
        try {
            auto connection = std::make_unique<Connection>(link);
            connection->open();
            m_connection = std::move(connection);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure)
        std::rethrow_exception(failure);
}

void SessionHost::postJob(const std::shared_ptr<CancelToken> &cancel, RawJob job, QObject *context, RawDone done)
{
    QPointer<QObject> guard(context);
    {
        std::lock_guard lock(m_lock);
        std::erase_if(m_tokens, [](const std::weak_ptr<CancelToken> &t) { return t.expired(); });
        m_tokens.push_back(cancel);
        m_jobs.push_back([this, job = std::move(job), guard, done = std::move(done)] {
            QString error;
            if (!m_connection) {
                error = QStringLiteral("The database session is not open");
            } else {
                try {
                    job(*m_connection);
                } catch (...) {
                    error = messageOf(std::current_exception());
                }
            }
            {
                std::lock_guard outcomeLock(m_lock);
                m_outcomes.push_back({guard, done, error});
            }
            QMetaObject::invokeMethod(this, "deliverOutcomes", Qt::QueuedConnection);
        });
    }
    QCoreApplication::postEvent(m_worker, new QEvent(QEvent::User));
}

void SessionHost::deliverOutcomes()
{
    for (;;) {
        Outcome outcome;
        {
            std::lock_guard lock(m_lock);
            if (m_outcomes.empty())
                return;
            outcome = std::move(m_outcomes.front());
            m_outcomes.pop_front();
        }
        if (outcome.context && outcome.done)
            outcome.done(outcome.error);
    }
}

void SessionHost::call(const std::function<void(Connection &)> &job)
{
    std::exception_ptr failure;
    runBlocking([&] {
        try {
            if (!m_connection)
                throw Error(QStringLiteral("The database session is not open"));
            job(*m_connection);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace chongma
