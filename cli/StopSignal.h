#pragma once

namespace chongma {
class CancelToken;
}

namespace chongma::cli {

// SIGINT and SIGTERM cancel the running command's job at its next boundary (a row, a batch, a
// line); a second signal ends the program at once.
void installStopHandlers();
const CancelToken &stopToken();
bool stopRequested();

} // namespace chongma::cli
