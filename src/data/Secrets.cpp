#include "data/Secrets.h"

#include "data/OdbcString.h"

#include <algorithm>

namespace chongma {

namespace {

bool isPasswordKey(const QString &key)
{
    return key.compare(u"pwd", Qt::CaseInsensitive) == 0
        || key.compare(u"password", Qt::CaseInsensitive) == 0;
}

} // namespace

void Secrets::add(const QString &value, const QString &written)
{
    for (const QString &s : {value, written}) {
        if (!s.isEmpty() && !m_secrets.contains(s))
            m_secrets.append(s);
    }
}

void Secrets::addFromOdbc(const QString &connection)
{
    for (const OdbcAttribute &a : odbcAttributes(connection)) {
        if (isPasswordKey(a.key)) {
            add(a.value, a.written);
        } else if (a.key.compare(u"pqopt", Qt::CaseInsensitive) == 0) {
            for (const ConninfoEntry &e : conninfoEntries(a.value)) {
                if (e.key.compare(u"password", Qt::CaseInsensitive) == 0)
                    add(e.value, e.written);
            }
        }
    }
}

QString Secrets::maskText(const QString &text) const
{
    QStringList spellings;
    for (const QString &secret : m_secrets) {
        spellings << secret << QString(secret).replace(u'}', QStringLiteral("}}"))
                  << QString(secret).replace(u'"', QStringLiteral("\"\""))
                  << QString(secret).replace(u'\'', QStringLiteral("''"));
    }
    // Longest first: a secret holding another must not be left half shown.
    std::sort(spellings.begin(), spellings.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString out = text;
    for (const QString &s : std::as_const(spellings))
        out.replace(s, QStringLiteral("***"));
    return out;
}

QString maskOdbcPasswords(const QString &connection)
{
    QString out = connection;
    const QList<OdbcAttribute> attributes = odbcAttributes(connection);
    // Back to front, so earlier spans stay where they were.
    for (auto it = attributes.crbegin(); it != attributes.crend(); ++it) {
        if (isPasswordKey(it->key))
            out.replace(it->valueFrom, it->valueTo - it->valueFrom, QStringLiteral("***"));
    }
    return out;
}

} // namespace chongma
