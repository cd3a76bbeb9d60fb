#pragma once

#include <QString>

#include <atomic>
#include <exception>

namespace chongma {

// Asks one job to stop at its next boundary (a row, a batch, a line). Each job has its own.
class CancelToken {
public:
    void cancel() { m_cancelled.store(true); }
    bool isCancelled() const { return m_cancelled.load(); }

private:
    std::atomic_bool m_cancelled{false};
};

// How a job ended: it ran to its end, it was stopped on request (what it did so far stays
// done), or it failed (the message says why). A stop is an outcome, not an error.
struct JobEnding {
    enum Kind { Done, Stopped, Failed };
    Kind kind = Done;
    QString message; // for Failed

    static JobEnding done() { return {Done, {}}; }
    static JobEnding stopped() { return {Stopped, {}}; }
    static JobEnding failed(const QString &message) { return {Failed, message}; }
    bool isDone() const { return kind == Done; }
    bool isStopped() const { return kind == Stopped; }
    bool isFailed() const { return kind == Failed; }
};

// The message of an exception a job let escape.
QString messageOf(const std::exception_ptr &error);

} // namespace chongma
