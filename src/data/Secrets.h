#pragma once

#include <QString>
#include <QStringList>

namespace chongma {

// The passwords a connection holds, and how they are kept out of what chongma shows.
class Secrets {
public:
    // `written`: the same password as it stood in its text, when quoting or escapes changed it.
    void add(const QString &value, const QString &written = QString());
    // Every password an ODBC connection string holds: PWD / Password, and pqopt's.
    void addFromOdbc(const QString &connection);
    bool isEmpty() const { return m_secrets.isEmpty(); }

    // `text` with every occurrence of every secret masked as "***", also as a driver may echo
    // them: '}' or a quote doubled.
    QString maskText(const QString &text) const;

private:
    QStringList m_secrets;
};

// `connection` with the value of every PWD / Password attribute masked where it stands.
QString maskOdbcPasswords(const QString &connection);

} // namespace chongma
