#pragma once

#include <QSet>
#include <QString>

namespace chongma {

class TData1;

namespace test {

// The statement path a session on this backend takes when the fast paths work: "odbc" for the
// ODBC servers, "sqlite" where Qt's SQLite driver shares this program's SQLite, "qt" elsewhere
// (Qt's own SQLite on Windows).
QString fastPathName(const QString &backend);

// Watches a session's statement path for the length of a job: how many statements the path
// ran, and whether every statement the session executed went through it. Takes the session's
// execution observer while it lives.
class PathWatch {
public:
    explicit PathWatch(TData1 &session);
    ~PathWatch();
    PathWatch(const PathWatch &) = delete;
    PathWatch &operator=(const PathWatch &) = delete;

    qint64 ran() const;                                    // path executions since the watch began
    qsizetype statements() const { return m_seen.size(); } // distinct statement texts executed
    // Whether a statement beginning with `start` was executed.
    bool saw(const QString &start) const;
    // False when the session executed a statement other than the last one without the path's
    // count rising since: a statement that went around the path.
    bool alwaysRose() const { return m_alwaysRose; }

private:
    TData1 &m_session;
    qint64 m_start = 0;
    qint64 m_lastCount = 0;
    QString m_lastSql;
    QSet<QString> m_seen;
    bool m_alwaysRose = true;
};

} // namespace test
} // namespace chongma
