#pragma once

#include "data/OperationSink.h"
#include "import/MaterialParser.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace chongma {

class TData1;

// The five counters of the window, plus the lines the parser rejected (shown nowhere there:
// they only lower lblWdr).
struct ImportCounters {
    qint32 sum = 0;   // lblSum: lines left after cleaning
    qint32 num = 0;   // lblNum: inserted
    qint32 exist = 0; // lblExist: code already present
    qint32 error = 0; // lblError: insert failed
    qint32 wdr = 0;   // lblWdr: lines not handled yet
    qint32 rejected = 0;
};

enum class LineOutcome { Rejected, New, Present, Failed };

// What became of one cleaned line, for previews (chongma-cli import --json).
struct LineReport {
    qint32 line = 0;       // 1-based position among the cleaned lines
    QByteArray text;       // the cleaned line, code page 936
    TMaterialRec record;   // as parsed (reset values past a rejection)
    ParseReason reason = ParseReason::None;
    LineOutcome outcome = LineOutcome::Rejected;
    QByteArray sql;        // the insert statement, for accepted lines
};

// An OperationSink with the import's own effects.
class ImportSink : public OperationSink {
public:
    virtual void clearLog() {}
    virtual void countersChanged(const ImportCounters &counters) { (void)counters; }
    virtual void lineHandled(const LineReport &report) { (void)report; }
};

struct ImportOptions {
    bool dryRun = false; // parse and look up, insert nothing
};

struct ImportResult {
    QList<QByteArray> lines; // the cleaned lines
    ImportCounters counters;
    bool complete = false;   // false when stopped on request
};

namespace import {

// Each line trimmed; empty ones dropped; the rest with their quotes stripped. Order kept.
QList<QByteArray> cleanLines(const QList<QByteArray> &lines);

// Whether BD_Material holds `code`.
bool MaterialExists(TData1 &session, const QString &code);

// Inserts the record, its six values bound, in a transaction of its own.
bool ExecSaveSQL(TData1 &session, const QStringList &values);

// One import run: start line, load, clean, then per line parse, look up, insert; counters and
// error lines through the sink; finish line. Throws Error when the file cannot be opened or the
// database fails beyond one insert. progress() returning false stops it at the next line
// ("导入已停止" is logged, no finish line).
ImportResult RunImport(TData1 &session, const QString &path, ImportSink &sink,
                       const ImportOptions &options = {});

} // namespace import
} // namespace chongma
