#pragma once

#include "data/Job.h"
#include "import/ImportRun.h"

#include <functional>
#include <memory>

class QObject;

namespace chongma {

class SessionHost;

// One import run for the window, on the session's database thread: its effects go to `sink`,
// its result to `done` on the window's thread.
struct TRunThread {
    static void Execute(SessionHost &host, const std::shared_ptr<CancelToken> &cancel, const ImportRequest &request,
                        ImportSink *sink, QObject *context, std::function<void(ImportResult)> done);
};

} // namespace chongma
