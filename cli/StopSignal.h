#pragma once

namespace chongma::cli {

// SIGINT and SIGTERM ask the running command to stop at its next safe point (an import after
// the current line); a second signal ends the program at once.
void installStopHandlers();
bool stopRequested();

} // namespace chongma::cli
