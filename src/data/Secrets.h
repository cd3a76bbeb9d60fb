#pragma once

#include <QString>
#include <QStringList>

namespace chongma {

// The passwords a connection holds, and how they are kept out of what chongma shows.
//
// Where a password stands as the value of a password key (PWD=, Password=, psqlODBC's
// pqopt={password=...}) it is masked whatever it is. Anywhere else a text is searched only for
// the passwords that do not turn up there by chance, and only where one stands as a whole token:
// a short password, a plain word or a plain number is found inside other words ("Dat***ase" for
// "ab") or among a message's own words ("*** authentication failed" for "password"), and the
// mask would show it.
class Secrets {
public:
    // `written`: the same password as it stood in its text, when quoting or escapes changed it.
    void add(const QString &value, const QString &written = QString());
    // Every password an ODBC connection string holds: PWD / Password, and pqopt's.
    void addFromOdbc(const QString &connection);
    bool isEmpty() const { return m_secrets.isEmpty(); }

    // A value shown on its own (a server, a database, a user, a file): "***" when it is one of
    // the passwords, whatever its length.
    QString maskValue(const QString &value) const;
    // An ODBC connection string: every password key's value, and every value that is one of the
    // passwords, masked where it stands.
    QString maskOdbc(const QString &connection) const;
    // Any other text, such as a driver's message: password keys' values where they stand, and
    // the passwords searched for as above.
    QString maskText(const QString &text) const;

    // Whether `secret` is searched for outside the places where a password stands: 4 characters
    // or more, of two kinds at least (letters, digits, others).
    static bool isSearched(const QString &secret);

private:
    QString maskTokens(const QString &text) const;
    bool isSecret(const QString &value) const;

    QStringList m_secrets;
};

} // namespace chongma
