#pragma once

#include <QString>

#include <cstdio>

namespace chongma::cli {

// Terminal output is UTF-8 whatever the locale.
inline void out(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout); // a watching process's lines reach a pipe as they happen
}

inline void err(const QString &line)
{
    std::fflush(stdout);
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace chongma::cli
