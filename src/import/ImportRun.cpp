#include "import/ImportRun.h"

#include "data/Catalog.h"
#include "data/Error.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "import/SourceReader.h"
#include "text/CodePage.h"
#include "text/TimeText.h"

#include <QHash>
#include <QScopeGuard>
#include <QSet>
#include <QVarLengthArray>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <limits>

namespace chongma::import {

namespace {

// The record's texts for the database, in the statement's order, its code decoded already, or
// nothing when a field is not valid code page 936 (never sent changed).
std::optional<QVariantList> databaseValues(const TMaterialRec &rec, const QString &code, CodePageDecoder &decoder)
{
    QVariantList values;
    values.reserve(6);
    // Never NULL, as a batch's statement leaves out the rows without a code.
    values.append(code.isNull() ? QStringLiteral("") : code);
    for (const QByteArray &field : {rec.MNo.bytes(), rec.Name.bytes(), rec.Price.bytes(), rec.SupName.bytes(),
                                    rec.PubDate.bytes()}) {
        bool ok = false;
        values.append(decoder.decode(field, &ok));
        if (!ok)
            return std::nullopt;
    }
    return values;
}

// A code as loosely as a database may compare it (case, width, accents, kana, blanks at the
// end, which SQL Server ignores and its char columns add): two codes with different keys are
// taken as different by any collation, two with one key may not be.
QString looseKey(QString code)
{
    while (!code.isEmpty() && code.back().isSpace())
        code.chop(1);
    bool ascii = true;
    for (const QChar c : code)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        return code.toLower();
    QString key;
    for (const QChar c : code.normalized(QString::NormalizationForm_KD)) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        const char16_t u = c.unicode();
        key += (u >= 0x30A1 && u <= 0x30F6) ? QChar(char16_t(u - 0x60)) : c; // katakana as hiragana
    }
    return key.toCaseFolded();
}

char16_t unitOf(char c) { return uchar(c); }
char16_t unitOf(QChar c) { return c.unicode(); }

// The hash of an ASCII code's loose key (the code in lower case without blanks at the end),
// made without a string of its own; `code` holds bytes or characters.
template <class Code>
std::size_t asciiKeyHash(const Code &code)
{
    const auto unit = [&](qsizetype i) { return unitOf(code[i]); };
    qsizetype n = code.size();
    while (n > 0 && QChar::isSpace(unit(n - 1)))
        --n;
    QVarLengthArray<char16_t, 32> key(n);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = unit(i);
        key[i] = (c >= 'A' && c <= 'Z') ? char16_t(c + ('a' - 'A')) : c;
    }
    return qHash(QStringView(key.constData(), n));
}

// Most codes are ASCII, and a million lines are shared out and batched one by one.
std::size_t looseKeyHash(QStringView code)
{
    for (const QChar c : code) {
        if (c.unicode() >= 0x80)
            return qHash(looseKey(code.toString()));
    }
    return asciiKeyHash(code);
}

} // namespace

std::size_t codeKeyHash(QByteArrayView code, CodePageDecoder &decoder)
{
    for (const char c : code) {
        if (uchar(c) >= 0x80)
            return qHash(looseKey(decoder.decode(code.toByteArray())));
    }
    return asciiKeyHash(code);
}

namespace {

// The cleaned form of a raw line: trimmed, quotes stripped; nothing when the line is dropped
// (a line that only quote removal empties stays, and counts).
std::optional<QByteArray> cleanLine(const QByteArray &raw)
{
    const QByteArray trimmed = trim(raw);
    if (trimmed.isEmpty())
        return std::nullopt;
    return StripQuotes(trimmed);
}

} // namespace

QList<QByteArray> cleanLines(const QList<QByteArray> &lines)
{
    // Same result as cleaning in place from the last line to the first, without the cost of
    // deleting from the middle of a long list.
    QList<QByteArray> cleaned;
    cleaned.reserve(lines.size());
    for (const QByteArray &line : lines) {
        if (std::optional<QByteArray> kept = cleanLine(line))
            cleaned.append(std::move(*kept));
    }
    return cleaned;
}

bool MaterialExists(TData1 &session, const QString &code, const QString &codes)
{
    const ResultSet r = session.select(sql::materialExists(codes), {code});
    return r.count() == 1 && r.integer(0, QStringLiteral("found")) == 1;
}

bool ExecSaveSQL(TData1 &session, const QVariantList &values)
{
    return session.execInTransaction(TData1::Query::SaveData, sql::insertMaterial(), values);
}

namespace {

// A cleaned line, and the length of the raw line when it was too long to be held (-1 otherwise).
struct CleanedLine {
    QByteArray text;
    qint64 cutLength = -1;
};

// The cleaned lines one after another: read twice from a file (counted first, so the total is
// known before the first line is handled, then handled), or kept in memory from a pipe.
class CleanedLines {
public:
    explicit CleanedLines(SourceReader &reader) : m_reader(reader)
    {
        QByteArray raw;
        if (m_reader.canRewind()) {
            while (m_reader.readLine(raw))
                m_count += trim(raw).isEmpty() ? 0 : 1; // counting needs no quotes stripped
            m_reader.rewind();
        } else {
            while (m_reader.readLine(raw)) {
                if (std::optional<QByteArray> line = cleanLine(raw))
                    m_kept.append({std::move(*line), m_reader.cutLineLength()});
            }
            m_count = m_kept.size();
        }
    }
    qint64 count() const { return m_count; }
    // Every line to `visit`, then back to the first, for next() to read them again. A pipe's
    // lines are held already.
    void scan(const std::function<void(const CleanedLine &)> &visit)
    {
        if (!m_reader.canRewind()) {
            for (qsizetype i = m_next; i < m_kept.size(); ++i)
                visit(m_kept.at(i));
            return;
        }
        CleanedLine line;
        while (next(line))
            visit(line);
        m_reader.rewind();
    }
    bool next(CleanedLine &line)
    {
        if (!m_reader.canRewind()) {
            if (m_next >= m_kept.size())
                return false;
            line = std::move(m_kept[m_next++]);
            return true;
        }
        QByteArray raw;
        while (m_reader.readLine(raw)) {
            if (std::optional<QByteArray> cleaned = cleanLine(raw)) {
                line = {std::move(*cleaned), m_reader.cutLineLength()};
                return true;
            }
        }
        return false;
    }

private:
    SourceReader &m_reader;
    qint64 m_count = 0;
    QList<CleanedLine> m_kept;
    qsizetype m_next = 0;
};

// One cleaned line on its way: parsed, then its outcome settled.
struct Line {
    LineReport report;
    bool parsed = false;
    bool codeOk = false;
    QString code;
    std::optional<QVariantList> values; // bound as they are
};

// The lines of a run, handled in batches: one select tells which codes are present, the new
// ones go in as multi-row inserts in one transaction. A batch the database refuses is rolled
// back and handled again line by line, so every count, error line and statement comes out as
// the line-by-line run gives it.
class Importer {
public:
    using Deliver = std::function<void(LineReport &&)>;
    // Settled lines go to `deliver`, in their order. `reports`: each line's record and
    // statement are wanted (a preview). `codesIndexed`: BD_MCode has an index (codesIndexed()).
    // `severalBatches`: the lines make more than one batch. `codesFrom`: the run's lines, read
    // here once for their codes where only the stored codes that match them are worth copying
    // (see copyCodes).
    Importer(TData1 &session, const ImportRequest &request, bool reports, bool codesIndexed, bool severalBatches,
             const CancelToken &cancel, Deliver deliver, CleanedLines *codesFrom = nullptr)
        : m_session(session), m_request(request), m_cancel(cancel), m_reports(reports), m_deliver(std::move(deliver))
    {
        if (m_request.batchLines <= 1)
            return;
        if (!codesIndexed)
            copyCodes(codesFrom);
        // PostgreSQL plans a lookup by the table's statistics, and a table analysed while empty
        // or small (as autovacuum leaves it for a minute or more) tells it a batch's codes match
        // most of its rows: each batch read the whole table, and a run into an empty table took
        // the square of its lines (200 000 lines: 99 scans reading 8.4 million rows; 400 000: 34
        // million). The lookups here have an index (on BD_MCode, or the copy's): while the run
        // lasts the session plans with it. One batch is one scan at most, and is left alone.
        const QString prefer = sql::preferIndexes(session.dialect());
        if (severalBatches && !prefer.isEmpty()) {
            session.execDirect(prefer);
            m_preferred = true;
        }
    }
    ~Importer()
    {
        if (m_sessionEnds)
            return;
        if (m_codes != QLatin1String("BD_Material"))
            m_session.tidyUp(sql::dropCodeTable(m_session.dialect()));
        if (m_preferred)
            m_session.tidyUp(sql::plannerDefaults(m_session.dialect()));
    }
    Importer(const Importer &) = delete;
    Importer &operator=(const Importer &) = delete;

    // The session closes right after the run: the code copy and the planner setting go with it,
    // and undoing them first would only cost a round trip each.
    void sessionEndsAfter() { m_sessionEnds = true; }

    // Takes the next cleaned line; false once a stop was asked for (the line is not handled).
    bool add(qint32 number, const CleanedLine &cleaned)
    {
        Line line;
        line.report.line = number;
        line.report.text = cleaned.text;
        line.report.cutLength = cleaned.cutLength;
        if (cleaned.cutLength >= 0) { // only its start was read: nothing to parse
            m_rec.reset();
            line.report.reason = ParseReason::TooLong;
        } else {
            QByteArray work = cleaned.text;
            line.parsed = ParseMaterialLine(m_rec, work, &line.report.reason);
        }
        if (line.parsed) {
            if (m_reports)
                line.report.sql = BuildInsertSQL(m_rec);
            line.code = m_decoder.decode(m_rec.Code.bytes(), &line.codeOk);
            line.values = line.codeOk ? databaseValues(m_rec, line.code, m_decoder) : std::nullopt;
            if (line.codeOk && m_wantedOnly && !std::binary_search(m_wanted.begin(), m_wanted.end(), qHash(line.code))
                && !leaveWantedCodes())
                return false;
        }
        // The record goes with the report where it is wanted or the line fails already; a line
        // whose insert fails later is parsed again for it (recordOf). Held for every line, its
        // texts were freed on the reporting thread, a million lines against another's heap.
        if (m_reports || !line.values)
            line.report.record = m_rec;
        // Two codes a collation might take as one may not share a batch: the later one must see
        // the earlier one's insert as the line-by-line run does.
        // Keys are told apart by their hash: two keys with one hash only end a batch early.
        if (line.codeOk && !m_request.dryRun) {
            const std::size_t key = codeKeyHash(m_rec.Code.bytes(), m_decoder);
            const auto seen = m_keys.constFind(key);
            if (seen != m_keys.constEnd() && *seen != line.code && !flush())
                return false;
            m_keys.insert(key, line.code);
        }
        m_batch.append(std::move(line));
        return m_batch.size() < m_batchLines || flush();
    }

    // Settles the lines taken so far; false when a stop was asked for before all were.
    bool flush()
    {
        m_keys.clear();
        if (m_batch.isEmpty())
            return !m_cancel.isCancelled();
        QList<Line> batch;
        batch.swap(m_batch);
        m_batch.reserve(m_batchLines);
        if (m_cancel.isCancelled())
            return false;
        if (m_request.batchLines <= 1 || !settleBatch(batch)) {
            for (Line &line : batch) {
                if (m_cancel.isCancelled())
                    return false;
                settleOne(line);
            }
        }
        return true;
    }

private:
    // Without an index on BD_MCode each batch's lookup would read the whole table: its codes are
    // copied once into an indexed table of the session, and looked up there. Given the run's
    // lines (SQLite), only the stored codes that match one of theirs, as BD_MCode compares:
    // a read of the lines and one of the table, against a million codes copied for a hundred
    // thousand lines. A line whose code was not among them (the file changed since) ends that.
    void copyCodes(CleanedLines *lines)
    {
        const std::optional<sql::Collation> collation =
            catalog::copyCollation(m_session, QStringLiteral("BD_Material"), QStringLiteral("BD_MCode"));
        if (!collation)
            return;
        const Dialect dialect = m_session.dialect();
        const bool wantedOnly = lines && dialect == Dialect::Sqlite;
        const QStringList create = sql::createCodeTable(dialect, *collation, wantedOnly);
        if (create.isEmpty())
            return;
        if (wantedOnly) {
            for (const QString &statement : sql::createWantedCodeTable(*collation))
                m_session.execDirect(statement);
            QList<QString> codes;
            lines->scan([&](const CleanedLine &line) {
                bool ok = false;
                QString code = m_decoder.decode(CodeOfLine(line.text).toByteArray(), &ok);
                if (line.cutLength >= 0 || !ok)
                    return; // never looked up
                m_wanted.push_back(qHash(code));
                codes.append(std::move(code));
                if (codes.size() == sql::kPicksPerChunk) {
                    insertCodes(sql::wantedCodeTable(), codes);
                    codes.clear();
                }
            });
            insertCodes(sql::wantedCodeTable(), codes);
            std::sort(m_wanted.begin(), m_wanted.end());
            m_wanted.erase(std::unique(m_wanted.begin(), m_wanted.end()), m_wanted.end());
            m_wantedOnly = true;
        }
        for (const QString &statement : create)
            m_session.execDirect(statement);
        if (wantedOnly)
            m_session.tidyUp(sql::dropWantedCodeTable());
        m_codes = sql::codeTable(dialect);
    }

    // A code the copy was not made for: the lines gathered (all of codes it was made for) are
    // settled, and the rest look up BD_Material itself. False when a stop was asked for.
    bool leaveWantedCodes()
    {
        const bool going = flush();
        m_wantedOnly = false;
        m_wanted = {};
        m_session.tidyUp(sql::dropCodeTable(m_session.dialect()));
        m_codes = QStringLiteral("BD_Material");
        return going;
    }

    // The reference: one lookup and at most one insert, in a transaction of its own, per line.
    void settleOne(Line &line)
    {
        LineReport &r = line.report;
        if (!line.parsed) {
            r.outcome = LineOutcome::Rejected;
        } else if (line.codeOk && (MaterialExists(m_session, line.code, m_codes) || (m_request.dryRun && m_inserted.contains(line.code)))) {
            r.outcome = LineOutcome::Present;
        } else if (line.values && (m_request.dryRun || ExecSaveSQL(m_session, *line.values))) {
            r.outcome = LineOutcome::New;
            if (!m_request.dryRun)
                addCodes({line.code});
            if (m_request.dryRun)
                m_inserted.insert(line.code);
        } else {
            r.outcome = LineOutcome::Failed;
            if (line.values && !m_reports) // the record was not kept: the line parsed whole
                recordOf(r);
        }
        report(line);
    }

    // The record of a line that parsed whole, for its report: parsed again from its text (a
    // whole parse reads nothing of the record it starts from).
    static void recordOf(LineReport &r)
    {
        QByteArray work = r.text;
        ParseMaterialLine(r.record, work);
    }

    // The batch at once; false (nothing reported, nothing kept) when it must be handled line by line.
    bool settleBatch(QList<Line> &batch)
    {
        // Each code of the batch once, with what is known of it: asked about, present, or
        // inserted by an earlier line of the batch.
        enum class Known { Asked, Present, Inserted };
        QHash<QString, Known> known;
        known.reserve(batch.size());
        QList<QString> codes;
        for (const Line &line : std::as_const(batch)) {
            if (!line.codeOk)
                continue;
            const qsizetype before = known.size();
            known[line.code]; // Asked
            if (known.size() != before)
                codes.append(line.code);
        }
        // The stored codes that match: one the same as a line's code proves it present; none
        // with the line's loose key proves it absent; one with the key but other text may or may
        // not match under the server's collation, and only that line asks on its own.
        // Loose keys are told apart by their hash: two keys with one hash only cost a question.
        QSet<std::size_t> storedKeys;
        for (qsizetype from = 0; from < codes.size(); from += sql::kCodesPerSelect) {
            const qsizetype n = qMin(sql::kCodesPerSelect, codes.size() - from);
            m_session.selectEach(sql::materialsPresent(sql::paddedSize(n, sql::kCodesPerSelect), m_codes),
                                 sql::inList(codes, from, n, sql::kCodesPerSelect), [&](const RowView &row) {
                                     const QString code = row.text(0);
                                     storedKeys.insert(looseKeyHash(code));
                                     const auto same = known.find(code);
                                     if (same != known.end())
                                         *same = Known::Present;
                                     return true;
                                 });
        }
        if (!storedKeys.isEmpty()) {
            for (auto it = known.begin(); it != known.end(); ++it) {
                if (*it == Known::Asked && storedKeys.contains(looseKeyHash(it.key()))
                    && MaterialExists(m_session, it.key(), m_codes))
                    *it = Known::Present;
            }
        }

        QList<QString> insertedHere;
        QList<const QVariantList *> rows;
        for (Line &line : batch) {
            LineReport &r = line.report;
            const auto state = line.codeOk ? known.find(line.code) : known.end();
            if (!line.parsed) {
                r.outcome = LineOutcome::Rejected;
            } else if (state != known.end()
                       && (*state != Known::Asked || (m_request.dryRun && m_inserted.contains(line.code)))) {
                r.outcome = LineOutcome::Present;
            } else if (line.values) {
                r.outcome = LineOutcome::New;
                if (state != known.end())
                    *state = Known::Inserted;
                insertedHere.append(line.code);
                rows.append(&*line.values);
            } else {
                r.outcome = LineOutcome::Failed;
            }
        }
        if (!m_request.dryRun && !rows.isEmpty()) {
            if (!insertAll(rows))
                return false;
            addCodes(insertedHere);
        }
        for (Line &line : batch) {
            if (m_request.dryRun && line.report.outcome == LineOutcome::New)
                m_inserted.insert(line.code);
            report(line);
        }
        return true;
    }

    // The new rows in multi-row statements of one size, the last filled up with rows the
    // statement leaves out, in one transaction: one array of sets, one round trip where the
    // driver takes arrays, one statement prepared for the whole import. False (rolled back) when
    // the statement or the commit fails.
    bool insertAll(const QList<const QVariantList *> &rows)
    {
        static const QVariantList kLeftOut(6); // NULLs: no code
        QList<QVariantList> sets;
        for (qsizetype start = 0; start < rows.size(); start += sql::kInsertBatch) {
            QVariantList values;
            values.reserve(sql::kInsertBatch * 6);
            for (qsizetype i = start; i < start + sql::kInsertBatch; ++i)
                values.append(i < rows.size() ? *rows.at(i) : kLeftOut);
            sets.append(std::move(values));
        }
        m_session.begin();
        // A values list goes in whole or fails; the count a driver gives for an array of sets
        // differs between drivers (the last set's, or none), so it is not asked.
        const StatementResult inserted = m_session.runMany(
            TData1::Query::SaveData, sql::insertMaterialsPadded(m_session.dialect(), sql::kInsertBatch), sets);
        if (!inserted.ok) {
            m_session.rollback(inserted.error);
            return false;
        }
        return m_session.commit().ok;
    }

    // Codes this run inserted, into the code table (where there is one), so later lines find
    // them as the line-by-line run would in BD_Material. One that cannot be added ends the run:
    // its code would be inserted again.
    void addCodes(const QList<QString> &codes)
    {
        if (m_codes != QLatin1String("BD_Material"))
            insertCodes(m_codes, codes);
    }

    void insertCodes(const QString &table, const QList<QString> &codes)
    {
        for (qsizetype from = 0; from < codes.size(); from += sql::kPicksPerChunk) {
            const qsizetype n = qMin(sql::kPicksPerChunk, codes.size() - from);
            const qsizetype sent = qMin(sql::paddedSize(n), sql::kPicksPerChunk); // the last repeated
            QVariantList values;
            for (qsizetype i = 0; i < sent; ++i)
                values << codes.at(from + qMin(i, n - 1));
            const StatementResult added =
                m_session.run(TData1::Query::SaveData, sql::insertCodes(m_session.dialect(), sent, table), values);
            if (!added.ok)
                throw Error(added.error);
        }
    }

    void report(Line &line) { m_deliver(std::move(line.report)); }

    TData1 &m_session;
    const ImportRequest &m_request;
    const CancelToken &m_cancel;
    const bool m_reports;
    const Deliver m_deliver;
    const qsizetype m_batchLines = qMax(1, m_request.batchLines);
    CodePageDecoder m_decoder;
    TMaterialRec m_rec;
    QList<Line> m_batch;
    QHash<std::size_t, QString> m_keys; // loose key's hash -> code, of the batch being gathered
    QSet<QString> m_inserted;       // in a dry run, the codes that would have been inserted
    QString m_codes = QStringLiteral("BD_Material"); // where stored codes are looked up
    bool m_wantedOnly = false;                       // the copy holds only the stored codes that match these:
    std::vector<std::size_t> m_wanted;               // the hashes of the lines' codes, sorted
    bool m_preferred = false;                        // the session plans with indexes for now
    bool m_sessionEnds = false;                      // nothing to undo: the session closes next
};

// Whether BD_MCode has an index, as far as the catalogue tells (assumed where it does not).
bool codesIndexed(TData1 &session)
{
    return catalog::leadsIndex(session, QStringLiteral("BD_Material"), QStringLiteral("BD_MCode")).value_or(true);
}

// Counts each settled line, in the order of the file, and tells the sink.
class Reporter {
public:
    Reporter(ImportSink &sink, ImportCounters &counters) : m_sink(sink), m_c(counters) {}

    void report(LineReport &r)
    {
        switch (r.outcome) {
        case LineOutcome::Rejected:
            ++m_c.rejected;
            if (r.reason == ParseReason::TooLong) // the one rejection a preview cannot show whole
                m_sink.addError(QStringLiteral("第%1条记录过长(%2字节，上限%3字节)，未解析:%4…")
                                    .arg(r.line)
                                    .arg(r.cutLength)
                                    .arg(SourceReader::kMaxLineBytes)
                                    .arg(m_decoder.decode(r.text)));
            break;
        case LineOutcome::Present:
            ++m_c.exist;
            break;
        case LineOutcome::New:
            ++m_c.num;
            break;
        case LineOutcome::Failed:
            ++m_c.error;
            if (r.sql.isEmpty())
                r.sql = BuildInsertSQL(r.record);
            m_sink.addError(QStringLiteral("入库格式错误，条码:") + m_decoder.decode(r.record.Code.bytes()));
            m_sink.addError(m_decoder.decode(r.sql));
            break;
        }
        if (r.line > m_c.sum) // the file grew between the count and now
            m_c.sum = r.line;
        m_c.wdr = m_c.sum - ++m_reported;
        m_sink.countersChanged(m_c);
        m_sink.lineHandled(r);
        m_sink.progress(r.line, m_c.sum);
    }

private:
    ImportSink &m_sink;
    ImportCounters &m_c;
    CodePageDecoder m_decoder;
    qint32 m_reported = 0;
};

// One share of the lines, settled on a connection and a thread of its own: across a network
// the round trips of several batches are then waited out at once. The lines of a code (and of
// any code a collation may take for it) all come to the same share, in the file's order, so
// each meets the same rows in the same order as in a run on one connection.
class Share {
public:
    Share(const DataLink &link, const ImportRequest &request, bool reports, bool indexed)
        : m_thread([this, link, &request, reports, indexed] { run(link, request, reports, indexed); })
    {
    }
    ~Share()
    {
        finish();
        m_thread.join();
    }
    Share(const Share &) = delete;
    Share &operator=(const Share &) = delete;

    struct Queued {
        qint32 number;
        CleanedLine line;
    };

    // Queues lines (emptying `lines`); waits while a few batches' worth are queued already.
    void push(std::vector<Queued> &lines, qsizetype room)
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return qsizetype(m_in.size()) < room || m_done; });
        std::move(lines.begin(), lines.end(), std::back_inserter(m_in));
        lines.clear();
        m_changed.notify_all();
    }
    // No more lines: what is queued is settled, and then the share ends.
    void finish()
    {
        std::lock_guard lock(m_lock);
        m_finished = true;
        m_changed.notify_all();
    }
    // Stops at the next batch boundary, as a run on one connection does: a batch being settled
    // ends, the lines queued or gathered since are not handled.
    void stop()
    {
        m_stop.cancel();
        finish();
    }
    // The lines settled so far; `waitForEnd` waits until the share has ended first.
    void take(std::vector<LineReport> &into, bool waitForEnd)
    {
        std::unique_lock lock(m_lock);
        if (waitForEnd)
            m_changed.wait(lock, [&] { return m_done; });
        for (LineReport &r : m_out)
            into.push_back(std::move(r));
        m_out.clear();
    }
    // Waits a little for the share to end; whether it has.
    bool waitForEnd(std::chrono::milliseconds most)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, most, [&] { return m_done; });
    }
    // A share that failed ends the run with its error.
    std::exception_ptr failure()
    {
        std::lock_guard lock(m_lock);
        return m_failure;
    }

private:
    // psqlODBC sets the process's locale while it connects and disconnects: the shares'
    // connections come and go one at a time.
    static std::mutex &connecting()
    {
        static std::mutex lock;
        return lock;
    }

    void run(const DataLink &link, const ImportRequest &request, bool reports, bool indexed)
    {
        try {
            std::unique_lock opening(connecting());
            auto connection = std::make_unique<TData1>(link, TData1::Reuse::Many);
            opening.unlock();
            const auto closing = qScopeGuard([&] {
                const std::lock_guard closes(connecting());
                connection.reset();
            });
            TData1 &session = *connection;
            Importer importer(session, request, reports, indexed, /*severalBatches=*/true, m_stop, [this](LineReport &&r) {
                std::lock_guard lock(m_lock);
                m_out.push_back(std::move(r));
            });
            importer.sessionEndsAfter(); // `closing`, on every way out
            bool going = true;
            std::vector<Queued> taken;
            while (going) {
                {
                    std::unique_lock lock(m_lock);
                    m_changed.wait(lock, [&] { return !m_in.empty() || m_finished; });
                    if (m_in.empty())
                        break;
                    // A batch's worth at a time: the queue then has room again for the reader.
                    const auto end = m_in.begin() + qMin(qsizetype(m_in.size()), qMax<qsizetype>(1, request.batchLines));
                    std::move(m_in.begin(), end, std::back_inserter(taken));
                    m_in.erase(m_in.begin(), end);
                    m_changed.notify_all();
                }
                for (auto next = taken.begin(); going && next != taken.end(); ++next)
                    going = importer.add(next->number, next->line);
                taken.clear();
            }
            if (going)
                importer.flush();
        } catch (...) {
            std::lock_guard lock(m_lock);
            m_failure = std::current_exception();
        }
        std::lock_guard lock(m_lock);
        m_done = true;
        m_in.clear();
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Queued> m_in;
    std::vector<LineReport> m_out;
    bool m_finished = false;
    bool m_done = false;
    std::exception_ptr m_failure;
    CancelToken m_stop;
    std::thread m_thread; // last: it starts once everything it uses is there
};

// How many connections a run settles its `lines` on: one where they would only wait for each
// other (SQLite has one writer) or where the reference run is asked for; never more than the
// lines make batches, as each connection costs a login and its settings (some ten round trips)
// and a watched file of a few hundred lines is one batch.
int connectionsFor(const TData1 &session, const ImportRequest &request, qint64 lines)
{
    if (request.batchLines <= 1 || session.dialect() == Dialect::Sqlite)
        return 1;
    const qint64 batches = (lines + request.batchLines - 1) / request.batchLines;
    return int(qBound(qint64(1), batches, qint64(request.connections > 0 ? request.connections : 6)));
}

// How many rows BD_Material holds; -1 where the server does not tell.
qint64 storedRows(TData1 &session)
{
    const ResultSet r = session.select(sql::materialRows(), {});
    return r.count() == 1 ? r.int64(0, QStringLiteral("n")) : -1;
}

// Without an index on BD_MCode every connection copies the stored codes into a table of its own
// first (a read of the table and an index built, 0.9 s a million codes on PostgreSQL here): no
// more copies than the lines make worth it, together at most twice as many rows as lines.
int copiesWorthMaking(qint64 rows, qint64 lines)
{
    return rows <= 0 ? std::numeric_limits<int>::max()
                     : int(qBound(qint64(1), 2 * lines / rows, qint64(std::numeric_limits<int>::max())));
}

// The lines settled on several connections, reported in the file's order. False when a stop
// was asked for: each connection stops at its next batch boundary, and every line settled by
// then is reported, in order (the lines left in between are not handled).
bool settleShared(TData1 &session, const ImportRequest &request, int connections, CleanedLines &lines,
                  Reporter &reporter, bool reports, bool indexed, const CancelToken &cancel)
{
    std::vector<std::unique_ptr<Share>> shares;
    for (int i = 0; i < connections; ++i)
        shares.push_back(std::make_unique<Share>(session.link(), request, reports, indexed));
    // Three batches queued a share while one settles: with less, the shares wait for the reader
    // and so for each other, and go to the server and wait for it all at the same time. Measured
    // at a 20 ms round trip, 200 000 lines: one batch 5.1 s, three 3.7-4.3 s (six connections).
    const qsizetype room = 3 * qMax<qsizetype>(1, request.batchLines);
    CodePageDecoder decoder;
    qint32 next = 1;                               // the line to report next
    std::deque<std::optional<LineReport>> waiting; // line next + i at i, once settled
    std::vector<LineReport> settled;
    const auto deliver = [&](bool waitForEnd) {
        for (const auto &share : shares) {
            share->take(settled, waitForEnd);
            if (const std::exception_ptr failure = share->failure())
                std::rethrow_exception(failure);
        }
        for (LineReport &r : settled) {
            const auto at = std::size_t(r.line - next);
            if (at >= waiting.size())
                waiting.resize(at + 1);
            waiting[at] = std::move(r);
        }
        settled.clear();
        for (; !waiting.empty() && waiting.front(); waiting.pop_front(), ++next)
            reporter.report(*waiting.front());
    };
    const auto stop = [&] {
        for (const auto &share : shares)
            share->stop();
    };
    // Lines go to a share a few dozen at a time: one lock and one wake-up for each line cost
    // more than the reading.
    constexpr std::size_t kHandOff = 64;
    std::vector<std::vector<Share::Queued>> handing(shares.size());
    try {
        CleanedLine text;
        for (qint32 number = 1; !cancel.isCancelled() && lines.next(text); ++number) {
            const std::size_t share = codeKeyHash(CodeOfLine(text.text), decoder) % shares.size();
            handing[share].push_back({number, std::move(text)});
            if (handing[share].size() >= kHandOff)
                shares[share]->push(handing[share], room);
            if (number % 256 == 0)
                deliver(false);
        }
        for (std::size_t i = 0; i < shares.size(); ++i) {
            if (!cancel.isCancelled() && !handing[i].empty())
                shares[i]->push(handing[i], room);
            shares[i]->finish();
        }
        // The last batches settle; a stop asked for meanwhile still ends them at a boundary.
        for (bool ended = false; !ended;) {
            if (cancel.isCancelled())
                stop();
            deliver(false);
            ended = true;
            for (const auto &share : shares)
                ended = share->waitForEnd(std::chrono::milliseconds(20)) && ended;
        }
        deliver(true);
    } catch (...) {
        stop(); // the others end at their next batch, then the run fails
        throw;
    }
    for (std::optional<LineReport> &r : waiting) // after a stop: what was settled beyond a line left unhandled
        if (r)
            reporter.report(*r);
    return !cancel.isCancelled();
}

} // namespace

ImportResult RunImport(TData1 &session, const ImportRequest &asked, ImportSink &sink, const CancelToken &cancel)
{
    // A batch tells its lines' codes from the stored ones by their texts; where the server turns
    // a code into a number first ('0123' is the stored 123, and so is a later '123'), only the
    // line-by-line run meets them as it must.
    ImportRequest request = asked;
    if (request.batchLines > 1
        && !catalog::comparesAsText(session, QStringLiteral("BD_Material"), QStringLiteral("BD_MCode")))
        request.batchLines = 1;
    ImportResult result;
    sink.clearLog();
    sink.addLog(QStringLiteral("开始时间:") + timeText(QDateTime::currentDateTime()));
    ImportCounters &c = result.counters;
    try {
        SourceReader reader(request.path, request.encoding, &cancel);
        result.encoding = reader.encodingName();
        result.converted = reader.converted();
        if (reader.converted())
            sink.addLog(QStringLiteral("源文件编码:%1，已转换为GBK").arg(reader.encodingName()));
        CleanedLines lines(reader);
        c.sum = qint32(qMin<qint64>(lines.count(), std::numeric_limits<qint32>::max()));
        c.wdr = c.sum;
        sink.countersChanged(c);

        Reporter reporter(sink, c);
        bool going = true;
        const bool indexed = request.batchLines <= 1 || codesIndexed(session);
        int connections = connectionsFor(session, request, lines.count());
        // Without an index, what a copy of the stored codes costs.
        const qint64 stored =
            !indexed && (connections > 1 || session.dialect() == Dialect::Sqlite) ? storedRows(session) : -1;
        if (!indexed && connections > 1)
            connections = qMin(connections, copiesWorthMaking(stored, lines.count()));
        if (connections > 1) {
            going = settleShared(session, request, connections, lines, reporter, sink.wantsLineReports(), indexed, cancel);
        } else {
            // A copy of only the stored codes the lines carry costs a read of the lines and their
            // codes stored, against all of the table's: worth it where the lines are a few. Into a
            // million rows here, 300 000 lines took 1.6 s against 2.0-2.5 s; 500 000 as long either way.
            const bool fewLines = !indexed && 3 * lines.count() <= stored;
            Importer importer(
                session, request, sink.wantsLineReports(), indexed, lines.count() > request.batchLines, cancel,
                [&](LineReport &&r) { reporter.report(r); }, fewLines ? &lines : nullptr);
            CleanedLine text;
            for (qint32 number = 1; going && lines.next(text); ++number)
                going = importer.add(number, text);
            going = going && importer.flush();
        }
        if (!going) {
            sink.addLog(QStringLiteral("导入已停止"));
            result.ending = JobEnding::stopped();
            return result;
        }
        if (c.wdr != 0) { // the file shrank between the count and now
            c.sum -= c.wdr;
            c.wdr = 0;
            sink.countersChanged(c);
        }
        result.nulOffset = reader.nulOffset();
        result.bytesNotRead = reader.bytesNotRead();
        if (result.nulOffset >= 0) {
            sink.addLog(result.bytesNotRead >= 0
                            ? QStringLiteral("源文件第%1字节为NUL，其后%2字节未读入").arg(result.nulOffset).arg(result.bytesNotRead)
                            : QStringLiteral("源文件第%1字节为NUL，其后内容未读入").arg(result.nulOffset));
        }
    } catch (const ReadStopped &) { // waiting on a FIFO for a writer, or for its bytes
        sink.addLog(QStringLiteral("导入已停止"));
        result.ending = JobEnding::stopped();
        return result;
    } catch (...) {
        result.ending = JobEnding::failed(messageOf(std::current_exception()));
        return result;
    }
    sink.addLog(QStringLiteral("完成时间:") + timeText(QDateTime::currentDateTime()));
    return result;
}

} // namespace chongma::import
