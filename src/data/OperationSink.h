#pragma once

#include <QString>

namespace chongma {

// Where an operation reports its effects. The window forwards them to its own thread as queued
// signals; the command-line tool prints them; tests record them. Every method may be called
// from the database thread.
class OperationSink {
public:
    virtual ~OperationSink() = default;
    virtual void addLog(const QString &line) { (void)line; }   // one line for the run log
    virtual void addError(const QString &line) { (void)line; } // one line for the error list
    // Progress of a long operation; returning false asks it to stop at the next safe point.
    virtual bool progress(qint64 done, qint64 total) { (void)done; (void)total; return true; }
};

} // namespace chongma
