#include "data/Connection.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"

namespace chongma {

Connection::Connection(const DataLink &link) : m_link(link) {}

Connection::~Connection() = default;

void Connection::open()
{
    m_session = std::make_unique<TData1>(m_link);
    m_opened = true;
}

TData1 &Connection::session(OperationSink &sink)
{
    if (m_session && !m_session->isLost())
        return *m_session;
    m_session.reset();
    m_session = std::make_unique<TData1>(m_link);
    if (m_opened)
        sink.addLog(QStringLiteral("已重新连接数据库"));
    m_opened = true;
    return *m_session;
}

} // namespace chongma
