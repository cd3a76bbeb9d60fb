#pragma once

#include "cli/Terminal.h"
#include "import/ImportRun.h"

namespace chongma::cli {

// An import's effects on the terminal: log and error lines as the memos hold them, progress on
// a terminal's stderr; with --json one object per cleaned line on stdout and the rest on stderr.
class ImportPrinter : public ImportSink {
public:
    explicit ImportPrinter(bool json) : m_json(json) {}
    void addLog(const QString &line) override;
    void addError(const QString &line) override;
    void progress(qint64 done, qint64 total) override { m_line.update(done, total); }
    void lineHandled(const LineReport &report) override;
    bool wantsLineReports() const override { return m_json; }

    // The five counters as the window shows them, and the lines the parser rejected.
    static QString summary(const ImportCounters &counters);

private:
    bool m_json;
    ProgressLine m_line{QStringLiteral("importing"), QStringLiteral("lines")};
};

} // namespace chongma::cli
