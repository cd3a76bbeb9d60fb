#include "support/PathWatch.h"

#include "data/Session.h"

#include <algorithm>

namespace chongma::test {

QString fastPathName(const QString &backend)
{
    if (backend != QLatin1String("sqlite"))
        return QStringLiteral("odbc");
#ifdef CHONGMA_SQLITE_DIRECT
    return QStringLiteral("sqlite");
#else
    return QStringLiteral("qt");
#endif
}

PathWatch::PathWatch(TData1 &session) : m_session(session), m_start(session.pathExecutions()), m_lastCount(m_start)
{
    m_session.setExecutionObserver(
        [this](const QString &sql, const QVariantList &, const std::vector<ParameterDeclaration> &) {
            // One executeMany reports each of its sets after a single run; any other statement
            // must have moved the count.
            const qint64 count = m_session.pathExecutions();
            if (sql != m_lastSql || m_seen.isEmpty()) {
                if (count <= m_lastCount)
                    m_alwaysRose = false;
                m_lastCount = count;
            }
            m_lastSql = sql;
            m_seen.insert(sql);
        });
}

PathWatch::~PathWatch() { m_session.setExecutionObserver({}); }

qint64 PathWatch::ran() const { return m_session.pathExecutions() - m_start; }

bool PathWatch::saw(const QString &start) const
{
    return std::any_of(m_seen.cbegin(), m_seen.cend(), [&](const QString &sql) { return sql.startsWith(start); });
}

} // namespace chongma::test
