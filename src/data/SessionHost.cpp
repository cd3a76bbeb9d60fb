#include "data/SessionHost.h"

#include "data/Error.h"
#include "data/Session.h"

#include <exception>

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

SessionHost::SessionHost(QObject *parent) : QObject(parent)
{
    m_thread.setObjectName(QStringLiteral("database"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

SessionHost::~SessionHost()
{
    m_stop.store(true);
    // Queued behind whatever is still running: the session is closed on its own thread.
    QMetaObject::invokeMethod(m_worker, [this] { m_session.reset(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void SessionHost::open(const DataLink &link)
{
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        m_worker,
        [&] {
            try {
                m_session = std::make_unique<TData1>(link);
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}

void SessionHost::post(Job job, QObject *context, Done done)
{
    ++m_pending;
    QMetaObject::invokeMethod(
        m_worker,
        [this, job = std::move(job), context, done = std::move(done)] {
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
            --m_pending;
            if (done)
                QMetaObject::invokeMethod(context, [done, error] { done(error); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void SessionHost::call(const Job &job)
{
    if (QThread::currentThread() == &m_thread)
        throw Error(QStringLiteral("SessionHost::call from the database thread"));
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        m_worker,
        [&] {
            try {
                if (!m_session)
                    throw Error(QStringLiteral("The database session is not open"));
                job(*m_session);
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace chongma
