#pragma once

#include "data/DataLink.h"

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>

namespace chongma::test {

// The recording TDS endpoint (tds_endpoint.py) on loopback for the length of a test, reached
// through FreeTDS as a SQL Server: what the driver sends on the program's behalf, recorded.
class TdsEndpoint {
public:
    // `script`: the endpoint's rules (see tds_endpoint.py). Not running (see why()) where
    // python3 is missing.
    explicit TdsEndpoint(const QJsonObject &script);
    ~TdsEndpoint();
    TdsEndpoint(const TdsEndpoint &) = delete;
    TdsEndpoint &operator=(const TdsEndpoint &) = delete;

    bool isRunning() const { return m_port > 0; }
    QString why() const { return m_why; }
    DataLink link() const;
    // Every request recorded so far, in order.
    QList<QJsonObject> requests() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_why;
};

} // namespace chongma::test
