#pragma once

#include <QStringList>

namespace chongma::cli {

// Parses the arguments (program name first) and runs the command; returns the exit code.
int run(const QStringList &arguments);

} // namespace chongma::cli
