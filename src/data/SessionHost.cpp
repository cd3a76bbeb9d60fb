#include "data/SessionHost.h"

#include "data/Error.h"
#include "data/Session.h"

#include <QCoreApplication>
#include <QEvent>

#include <condition_variable>
#include <exception>
#include <mutex>

namespace chongma {

namespace {

QString messageOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Error &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

} // namespace

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
    m_stop.store(true);
    // Queued behind whatever is still running: the session is closed on its own thread.
    runBlocking([this] { m_session.reset(); });
    m_thread.quit();
    m_thread.wait();
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
            m_session = std::make_unique<TData1>(link);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure)
        std::rethrow_exception(failure);
}

void SessionHost::post(Job job, QObject *context, Done done)
{
    QPointer<QObject> guard(context);
    {
        std::lock_guard lock(m_lock);
        m_jobs.push_back([this, job = std::move(job), guard, done = std::move(done)] {
            QString error;
            if (!m_session) {
                error = QStringLiteral("The database session is not open");
            } else {
                try {
                    job(*m_session);
                } catch (...) {
                    error = messageOf(std::current_exception());
                }
            }
            if (!done)
                return;
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
        if (outcome.context)
            outcome.done(outcome.error);
    }
}

void SessionHost::call(const Job &job)
{
    std::exception_ptr failure;
    runBlocking([&] {
        try {
            if (!m_session)
                throw Error(QStringLiteral("The database session is not open"));
            job(*m_session);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace chongma
