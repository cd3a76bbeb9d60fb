#pragma once

#include "data/Job.h"
#include "data/OperationSink.h"
#include "import/MaterialParser.h"
#include "import/SourceReader.h"

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
    QByteArray text;       // the cleaned line, code page 936 (only its start when cutLength >= 0)
    qint64 cutLength = -1; // the raw line's length when it was too long to hold (TooLong)
    TMaterialRec record;   // as parsed (reset values past a rejection); when reports are wanted or it failed
    ParseReason reason = ParseReason::None;
    LineOutcome outcome = LineOutcome::Rejected;
    QByteArray sql;        // the insert statement, for accepted lines (when reports are wanted)
};

// An OperationSink with the import's own effects.
class ImportSink : public OperationSink {
public:
    virtual void clearLog() {}
    virtual void countersChanged(const ImportCounters &counters) { (void)counters; }
    virtual void lineHandled(const LineReport &report) { (void)report; }
    // Whether lineHandled wants every line's record and statement (a preview does; building
    // them for a million lines nobody looks at is not free).
    virtual bool wantsLineReports() const { return false; }
};

struct ImportRequest {
    QString path;
    bool dryRun = false; // parse and look up, insert nothing
    import::SourceEncoding encoding = import::SourceEncoding::Auto;
    // Lines settled together (one lookup, one transaction of multi-row inserts); 1 settles each
    // line on its own, as the reference the batches are checked against.
    qsizetype batchLines = 6 * 349;
    // Connections the lines are settled on at once, each line's code always on the same one; 0:
    // as many as pay off (one on SQLite, where writers wait for each other).
    int connections = 0;
};

struct ImportResult {
    JobEnding ending;
    ImportCounters counters;
    QString encoding;        // as the source was read ("GBK", "UTF-8", ...)
    bool converted = false;  // turned into code page 936 on the way in
    qint64 nulOffset = -1;   // where a NUL ended the text, -1 when none did
    qint64 bytesNotRead = 0; // after that NUL; -1 when unknown (a pipe)
};

class CodePageDecoder;

namespace import {

// Each line trimmed; empty ones dropped; the rest with their quotes stripped. Order kept.
QList<QByteArray> cleanLines(const QList<QByteArray> &lines);

// Whether BD_Material (or `codes`, a copy of its codes) holds `code`.
bool MaterialExists(TData1 &session, const QString &code, const QString &codes = QStringLiteral("BD_Material"));

// Inserts the record, its six values bound, in a transaction of its own.
bool ExecSaveSQL(TData1 &session, const QVariantList &values);

// A hash of `code`'s loose key (case, width, accents, kana, blanks at the end set aside): the
// same for every two codes a collation may take as one, so lines can be shared out by code.
std::size_t codeKeyHash(QByteArrayView code, CodePageDecoder &decoder);

// One import run: start line, then the source read as a stream (converted to code page 936 when
// it is UTF-8 or UTF-16, which the run log says), its lines counted, then cleaned and per line
// parsed, looked up and inserted; counters and error lines through the sink; a line saying how
// much a NUL left unread; finish line. A stop (at the next line) logs "导入已停止" and keeps what
// was committed; so does a stop while waiting on a FIFO. A line longer than the reader holds is
// rejected (TooLong) with an error line. A file that cannot be opened, or a database failure
// beyond one insert, ends the run as failed.
ImportResult RunImport(TData1 &session, const ImportRequest &request, ImportSink &sink, const CancelToken &cancel);

} // namespace import
} // namespace chongma
