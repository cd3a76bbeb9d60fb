#pragma once

#include <QString>
#include <stdexcept>

namespace chongma {

// Failures travel as exceptions carrying the text the user is shown.
class Error : public std::runtime_error {
public:
    explicit Error(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    QString message() const { return m_message; }

private:
    QString m_message;
};

// The connection described by the data link could not be opened (or the data link itself is
// unusable). Start-up answers it with "数据库连接失败!"; `reason` says why, never the password.
class ConnectionError : public Error {
public:
    explicit ConnectionError(const QString &reason) : Error(reason) {}
};

// The session cannot be made at all, e.g. the Qt Sql driver plugin is missing.
class SetupError : public Error {
public:
    explicit SetupError(const QString &reason) : Error(reason) {}
};

} // namespace chongma
