#pragma once

#include <QStringList>

namespace chongma::cli {

// Exit codes shared by every command.
enum Exit { Ok = 0, Failed = 1, Usage = 2 };

// Parses the arguments (program name first) and runs the command; returns the exit code.
int run(const QStringList &arguments);

} // namespace chongma::cli
