#pragma once

#include <QString>

namespace chongma {

// Where a job reports its effects. The window carries them to its own thread; the command-line
// tool prints them; tests record them. Every method may be called from the database thread.
class OperationSink {
public:
    virtual ~OperationSink() = default;
    virtual void addLog(const QString &line) { (void)line; }   // one line for the run log
    virtual void addError(const QString &line) { (void)line; } // one line for the error list
    // The lines so far record committed work: hand them on now (a process killed later must
    // not lose them).
    virtual void flushLog() {}
    // How far a long job has got; `total` 0 when it is not known yet.
    virtual void progress(qint64 done, qint64 total) { (void)done; (void)total; }
};

} // namespace chongma
