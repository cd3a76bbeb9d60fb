#pragma once

#include "data/DataLink.h"

#include <memory>

namespace chongma {

class OperationSink;
class TData1;

// The data link and the session it opened. A connection found lost is opened again when the
// next job asks for the session, and the job's run log says so.
class Connection {
public:
    explicit Connection(const DataLink &link);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens the session now. Throws ConnectionError or SetupError.
    void open();
    // The open session, opened again first when the last one was lost ("已重新连接数据库" on the
    // sink). Throws ConnectionError when it cannot be opened.
    TData1 &session(OperationSink &sink);

    const DataLink &link() const { return m_link; }

private:
    DataLink m_link;
    std::unique_ptr<TData1> m_session;
    bool m_opened = false; // a session was open before: opening now is a reconnection
};

} // namespace chongma
