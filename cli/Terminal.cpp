#include "cli/Terminal.h"
#include "cli/Texts.h"

#include <cstdio>
#include <iostream>
#include <string>

#if defined(Q_OS_WIN)
#include <io.h>
#define CHONGMA_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define CHONGMA_ISATTY(fd) isatty(fd)
#endif

namespace chongma::cli {

namespace {

void write(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
}

QString duration(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void out(const QString &line) { write(stdout, line); }

void flushOut() { std::fflush(stdout); }

void err(const QString &line)
{
    std::fflush(stdout);
    write(stderr, line);
    std::fflush(stderr);
}

bool stdinIsTerminal() { return CHONGMA_ISATTY(0); }

bool stderrIsTerminal() { return CHONGMA_ISATTY(2); }

std::optional<bool> askOnTerminal(const QString &question)
{
    if (!stdinIsTerminal())
        return std::nullopt;
    for (;;) {
        std::fputs((question + QStringLiteral(" [y/n] ")).toUtf8().constData(), stdout);
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer))
            return false;
        const QString a = QString::fromStdString(answer).trimmed().toLower();
        if (a == QLatin1String("y") || a == QLatin1String("yes"))
            return true;
        if (a == QLatin1String("n") || a == QLatin1String("no") || a.isEmpty())
            return false;
    }
}

ProgressLine::ProgressLine(const QString &what, const QString &unit)
    : m_what(what), m_unit(unit), m_enabled(stderrIsTerminal())
{
    m_clock.start();
}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::update(qint64 done, qint64 total)
{
    if (!m_enabled)
        return;
    const qint64 now = m_clock.elapsed();
    if (now - m_lastDrawMs < 100 && done != total)
        return;
    m_lastDrawMs = now;
    QString line = total > 0 ? Texts::tr("%1: %2 of %3 %4").arg(m_what).arg(done).arg(total).arg(m_unit)
                             : QStringLiteral("%1: %2 %3").arg(m_what).arg(done).arg(m_unit);
    const double seconds = double(now) / 1000.0;
    if (seconds > 0.5 && done > 0) {
        const double rate = double(done) / seconds;
        line += QStringLiteral(", %1/s").arg(qint64(rate));
        if (total > done && rate > 0)
            line += Texts::tr(", %1 left").arg(duration(qint64(double(total - done) / rate)));
    }
    const QByteArray bytes = ("\r\x1b[K" + line).toUtf8();
    std::fflush(stdout);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    m_shown = true;
}

void ProgressLine::finish()
{
    if (!m_shown)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_shown = false;
}

} // namespace chongma::cli
