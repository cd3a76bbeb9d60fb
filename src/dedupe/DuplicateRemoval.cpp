#include "dedupe/DuplicateRemoval.h"

#include "data/Catalog.h"
#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateSearch.h"
#include "dedupe/PickRule.h"
#include "text/CodePage.h"
#include "text/WholeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

namespace chongma {

RemovalPlan RemovalPlan::fromSearch(const SearchResult &result)
{
    RemovalPlan plan;
    if (!result.ending.isDone())
        return plan; // half a search deletes nothing
    for (const DuplicatePick &pick : result.duplicates) {
        plan.delLogLines.append(pick.barcode);
        if (pick.diskId)
            plan.picks.append({*pick.diskId, pick.rowBar});
    }
    return plan;
}

QString RemovalPlan::question() const { return QStringLiteral("%1 个重码，确定清除重码吗？").arg(picks.size()); }

namespace dedupe {

namespace {


QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

// One row as the table holds it, for telling what a deletion changed.
struct HeldRow {
    std::optional<qint64> id;
    QString idText; // how the id reads, whatever it is
    bool nullBar = false;
    QString bar;
    bool operator==(const HeldRow &other) const
    {
        return idText == other.idText && nullBar == other.nullBar && bar == other.bar;
    }
};

size_t qHash(const HeldRow &row, size_t seed = 0) { return ::qHash(row.idText, seed) ^ ::qHash(row.bar, seed); }

HeldRow heldRow(const RowView &row)
{
    return {wholeId(row.value(0), row.kind(0)), row.isNull(0) ? QStringLiteral("<null>") : row.text(0), row.isNull(1),
            row.text(1)};
}

// Every row of these barcodes, as the server compares them.
QList<HeldRow> readRows(TData1 &session, const QString &sql, const QVariantList &values)
{
    QList<HeldRow> rows;
    session.selectEach(sql, values, [&](const RowView &row) {
        rows.append(heldRow(row));
        return true; // read to the end: a select closed early must not run again on some drivers
    });
    return rows;
}

QList<HeldRow> rowsOfBars(TData1 &session, const QVariantList &bars, bool locked)
{
    return readRows(session, sql::rowsOfBars(bars.size(), session.dialect(), locked), bars);
}

// Whether `after` is `before` without exactly the rows `gone` (as multisets).
bool leftExactly(const QList<HeldRow> &before, const QList<HeldRow> &gone, const QList<HeldRow> &after)
{
    QHash<HeldRow, int> expected;
    for (const HeldRow &row : before)
        ++expected[row];
    for (const HeldRow &row : gone) {
        if (--expected[row] < 0)
            return false;
    }
    for (const HeldRow &row : after) {
        if (--expected[row] < 0)
            return false;
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() != 0)
            return false;
    }
    return true;
}

// The statements of one batch and their values: its ids and barcodes bound, or its chunks of
// the pick table.
struct BatchStatements {
    QString readLocked; // the rows of the batch's barcodes, held
    QString read;       // the same, after the delete
    QVariantList readValues;
    QString remove;
    QVariantList removeValues;
    // The three in one request: a few values each (the pick table's chunks). The bound ids and
    // barcodes of a batch are as many values as one statement may take.
    bool together = false;
};

BatchStatements boundBatch(Dialect dialect, const QList<RemovalPick> &picks)
{
    QVariantList ids;
    QVariantList bars;
    for (const RemovalPick &pick : picks) {
        ids << pick.id;
        bars << pick.bar;
    }
    const qsizetype sent = sql::paddedSize(picks.size());
    sql::padList(ids, sent);
    sql::padList(bars, sent);
    return {sql::rowsOfBars(sent, dialect, true), sql::rowsOfBars(sent, dialect, false), bars, sql::deleteRows(sent),
            ids + bars};
}

BatchStatements tableBatch(Dialect dialect, qsizetype firstChunk, qsizetype lastChunk)
{
    const QVariantList chunks{firstChunk, lastChunk};
    return {sql::rowsOfPickedBars(dialect, true),
            sql::rowsOfPickedBars(dialect, false),
            chunks,
            sql::deletePicked(dialect),
            chunks + chunks,
            true};
}

// Deletes the batch's rows in one statement and one transaction, and judges it by what the
// table holds, never by a count a driver gives (triggers add their own, some servers give
// none). In the transaction, the rows of the batch's barcodes are read and held, the picks
// deleted and those barcodes read again, in one request where the path sends batches of
// statements. Every row read first with a picked id must be a pick, exactly, and every pick
// must be there once: then the delete, which takes the rows of the picked ids among those
// barcodes, took exactly the picks, and after it those barcodes must hold exactly their rows
// but the picked ones. False, rolled back, when any of that does not hold or the database
// refuses: the caller then deletes the batch row by row. A commit that fails throws Error.
bool deleteBatch(TData1 &session, const QList<RemovalPick> &picks, const BatchStatements &statements)
{
    QSet<qint64> ids;
    QHash<std::pair<qint64, QString>, int> wanted; // how often each pick was seen
    for (const RemovalPick &pick : picks) {
        ids.insert(pick.id);
        wanted.insert({pick.id, pick.bar}, 0);
    }
    session.begin();
    QList<HeldRow> before;
    QList<HeldRow> after;
    const QList<TData1::BatchPart> parts{{statements.readLocked, statements.readValues, true},
                                         {statements.remove, statements.removeValues, false},
                                         {statements.read, statements.readValues, true}};
    for (int from = 0; from < parts.size();) {
        const int n = statements.together ? int(parts.size()) : 1;
        const StatementResult done = session.runBatch(parts.mid(from, n), [&](int part, const RowView &row) {
            (from + part == 0 ? before : after).append(heldRow(row));
        });
        if (!done.ok) {
            session.rollback(done.error);
            return false;
        }
        from += n;
    }
    QList<HeldRow> picked;
    bool exact = true;
    for (const HeldRow &row : before) {
        if (!row.id || !ids.contains(*row.id))
            continue;
        const auto it = row.nullBar ? wanted.end() : wanted.find({*row.id, row.bar});
        if (it == wanted.end() || ++it.value() > 1)
            exact = false;
        picked.append(row);
    }
    for (auto it = wanted.cbegin(); exact && it != wanted.cend(); ++it)
        exact = it.value() == 1;
    if (!exact || !leftExactly(before, picked, after)) {
        session.rollback();
        return false;
    }
    // A batch that cannot be committed (another connection's lock held past the time limit)
    // is no fault of its rows: one by one they would each wait as long, and fail alike.
    const StatementResult committed = session.commit();
    if (!committed.ok)
        throw Error(committed.error);
    return true;
}

QString tooManyRows(qint64 rows)
{
    return QStringLiteral("%1 rows carry this DiskID and barcode; the deletion was rolled back").arg(rows);
}

} // namespace

DeleteResult DeleteDisk(TData1 &session, qint64 diskId, const QString &bar, QString *reason)
{
    const auto refused = [&](const QString &why) {
        if (reason)
            *reason = why;
        return DeleteResult::Refused;
    };
    // As the batch: the barcode's rows held, the delete judged by what it left.
    const QVariantList bars{bar};
    session.begin();
    const QList<HeldRow> before = rowsOfBars(session, bars, true);
    QList<HeldRow> picked;
    for (const HeldRow &row : before) {
        if (row.id == diskId)
            picked.append(row);
    }
    if (picked.isEmpty()) {
        session.rollback();
        return DeleteResult::Gone;
    }
    if (picked.size() > 1) {
        session.rollback();
        return refused(tooManyRows(picked.size()));
    }
    const StatementResult deleted = session.run(TData1::Query::Curve, sql::deleteRow(), {diskId, bar});
    if (!deleted.ok) {
        session.rollback(deleted.error);
        return refused(deleted.error);
    }
    if (!leftExactly(before, picked, rowsOfBars(session, bars, false))) {
        session.rollback();
        return refused(QStringLiteral("the deletion did not leave the other rows of its barcode as they were and take "
                                      "this one (a trigger or rule of the table?); it was rolled back"));
    }
    const StatementResult committed = session.commit();
    if (!committed.ok)
        return refused(committed.error);
    return DeleteResult::Deleted;
}

void writeDelLog(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += toCodePage(line) + "\r\n";
    writeWholeFile(path, bytes);
}

namespace {

// A removal's picks in the session's temporary pick table, for as long as the removal runs.
class PickTable {
public:
    // Loads the picks, a chunk a statement, in one transaction; not loaded where the dialect
    // has no temporary tables here.
    PickTable(TData1 &session, const QList<RemovalPick> &picks) : m_session(session)
    {
        const Dialect dialect = session.dialect();
        const QStringList create = sql::createPickTable(dialect);
        if (create.isEmpty() || picks.isEmpty())
            return;
        session.execDirect(create.join(QStringLiteral("; "))); // one batch, one round trip
        m_loaded = true;
        session.begin();
        // The full chunks as one array of sets (one request where the driver takes arrays), the
        // last one on its own, at a few sizes (the last pick repeated) so each is prepared once.
        QList<QVariantList> full;
        for (qsizetype from = 0; from < picks.size(); from += sql::kPicksPerChunk) {
            const qsizetype n = qMin(sql::kPicksPerChunk, picks.size() - from);
            const qsizetype sent = qMin(sql::paddedSize(n), sql::kPicksPerChunk);
            QVariantList values{qlonglong(from / sql::kPicksPerChunk)};
            for (qsizetype i = 0; i < sent; ++i) {
                const RemovalPick &pick = picks.at(from + qMin(i, n - 1));
                values << qlonglong(pick.id) << pick.bar;
            }
            if (sent == sql::kPicksPerChunk)
                full.append(std::move(values));
            else
                insert(session, sent, {values});
        }
        if (!full.isEmpty())
            insert(session, sql::kPicksPerChunk, full);
        const StatementResult committed = session.commit();
        if (!committed.ok)
            throw Error(committed.error);
    }
    ~PickTable()
    {
        if (m_loaded)
            m_session.tidyUp(sql::dropPickTable(m_session.dialect()));
    }
    PickTable(const PickTable &) = delete;
    PickTable &operator=(const PickTable &) = delete;

    bool loaded() const { return m_loaded; }

private:
    static void insert(TData1 &session, qsizetype picks, const QList<QVariantList> &sets)
    {
        const StatementResult inserted =
            session.runMany(TData1::Query::SaveData, sql::insertPicks(session.dialect(), picks), sets);
        if (!inserted.ok) {
            session.rollback(inserted.error);
            throw Error(inserted.error);
        }
    }

    TData1 &m_session;
    bool m_loaded = false;
};

} // namespace

RemovalOutcome runRemoval(TData1 &session, const RemovalPlan &plan, const RemovalFiles &files, OperationSink &sink,
                          const CancelToken &cancel)
{
    RemovalOutcome outcome;
    try {
        // del.log's lines are the search's, known before the first deletion: written now, whole,
        // so a file that cannot be written stops the removal before anything is deleted.
        if (!plan.delLogLines.isEmpty()) {
            writeDelLog(files.delLog, plan.delLogLines);
            outcome.delLogWritten = true;
        }
        if (plan.picks.isEmpty())
            return outcome;
        if (cancel.isCancelled()) {
            outcome.ending = JobEnding::stopped();
            return outcome;
        }
        const PickTable table(session, plan.picks);
        outcome.backedUp = writeBackup(session, plan.picks, files.backup, table.loaded());
        outcome.backupWritten = true;
        sink.addLog(QStringLiteral("已备份:") + shown(files.backup));

        // A batch's rows are found through the barcodes' index where there is one; without one
        // every batch reads the whole table, so there are a few large batches instead. SQLite
        // takes a few large batches too: its journal copies each page a transaction changes, and
        // small batches spread over the table copy the same pages of the table and its indexes
        // again and again (4 million rows: 190 batches 14.4 s, 8 batches 8.4 s).
        const qsizetype total = plan.picks.size();
        const qsizetype chunks = (total + sql::kPicksPerChunk - 1) / sql::kPicksPerChunk;
        constexpr qsizetype kFewBatches = 8;
        const std::optional<QStringList> leaders = table.loaded() && session.dialect() != Dialect::Sqlite
                                                       ? catalog::indexLeaders(session, QStringLiteral("diskinfo"))
                                                       : std::nullopt;
        const auto indexed = [&](const QString &column) { // taken as indexed where the catalogue does not tell
            return !leaders || leaders->contains(column, Qt::CaseInsensitive);
        };
        const bool few = table.loaded() && (session.dialect() == Dialect::Sqlite || !indexed(QStringLiteral("Bar")));
        const qsizetype chunksPerBatch = few ? qMax<qsizetype>(1, (chunks + kFewBatches - 1) / kFewBatches) : 1;
        // Large batches on a diskinfo without an index on DiskID are planned from the pick table's
        // statistics. Elsewhere the server's guess of a few picks keeps the batches on an index;
        // analysed, PostgreSQL read the table three times a batch instead (200 000 rows indexed
        // on Bar: 64 ms a batch against 11 ms; a million indexed on DiskID only: 4.5 s against 3.7 s).
        const QString analyze = few ? sql::analyzePickTable(session.dialect()) : QString();
        if (!analyze.isEmpty() && !indexed(QStringLiteral("DiskID")))
            session.execDirect(analyze);
        const qsizetype batchSize = table.loaded() ? chunksPerBatch * sql::kPicksPerChunk : sql::kDeleteBatch;
        qsizetype done = 0;
        while (done < total && !outcome.ending.isStopped()) {
            if (cancel.isCancelled()) {
                outcome.ending = JobEnding::stopped();
                break;
            }
            const QList<RemovalPick> batch = plan.picks.mid(done, batchSize);
            const BatchStatements statements =
                table.loaded() ? tableBatch(session.dialect(), done / sql::kPicksPerChunk,
                                            (done + batch.size() - 1) / sql::kPicksPerChunk)
                               : boundBatch(session.dialect(), batch);
            if (batch.size() > 1 && deleteBatch(session, batch, statements)) {
                for (const RemovalPick &pick : batch)
                    sink.addLog(QStringLiteral("删除重码:") + QString::number(pick.id));
                sink.flushLog(); // committed: its lines must survive whatever comes next
                outcome.deleted += int(batch.size());
                done += batch.size();
                sink.progress(done, total);
                continue;
            }
            for (const RemovalPick &pick : batch) {
                if (cancel.isCancelled()) {
                    outcome.ending = JobEnding::stopped();
                    break;
                }
                const QString id = QString::number(pick.id);
                QString reason;
                switch (DeleteDisk(session, pick.id, pick.bar, &reason)) {
                case DeleteResult::Deleted:
                    ++outcome.deleted;
                    sink.addLog(QStringLiteral("删除重码:") + id);
                    break;
                case DeleteResult::Gone:
                    ++outcome.gone;
                    sink.addLog(QStringLiteral("重码已不存在:") + id);
                    break;
                case DeleteResult::Refused:
                    outcome.refused.append({pick.id, reason});
                    sink.addLog(QStringLiteral("重码未删除:") + id);
                    break;
                }
                sink.flushLog();
                sink.progress(++done, total);
            }
        }
    } catch (...) {
        outcome.ending = JobEnding::failed(messageOf(std::current_exception()));
    }
    return outcome;
}

} // namespace dedupe
} // namespace chongma
