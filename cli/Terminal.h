#pragma once

#include <QElapsedTimer>
#include <QString>

#include <optional>

namespace chongma::cli {

// Terminal output is UTF-8 whatever the locale. Standard output is buffered (a search may print
// a hundred thousand lines); flushOut() hands what is there to a pipe now, and every line on
// stderr flushes standard output first, so the two stay in order.
void out(const QString &line);
void flushOut();
void err(const QString &line);

bool stdinIsTerminal();
bool stderrIsTerminal();

// y/n on the terminal; nothing without one.
std::optional<bool> askOnTerminal(const QString &question);

// One line on stderr that follows a long job: done of total, rate and time left. Only when
// stderr is a terminal; otherwise it prints nothing at all.
class ProgressLine {
public:
    ProgressLine(const QString &what, const QString &unit);
    ~ProgressLine();
    void update(qint64 done, qint64 total);
    void finish(); // clears the line

private:
    QString m_what;
    QString m_unit;
    bool m_enabled;
    bool m_shown = false;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = -1000;
};

} // namespace chongma::cli
