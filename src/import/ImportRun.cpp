#include "import/ImportRun.h"

#include "data/Error.h"
#include "data/Session.h"
#include "import/SourceReader.h"
#include "text/CodePage.h"
#include "text/TimeText.h"

#include <QSet>

#include <limits>

namespace chongma::import {

namespace {

const QString kInsert = QStringLiteral(
    "insert into BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, Pur_SupName, BD_MPUBDATE) "
    "values(?, ?, ?, ?, ?, ?); ");

// The record's texts for the database, in the statement's order, or nothing when a field is not
// valid code page 936 (never sent changed).
std::optional<QStringList> databaseValues(const TMaterialRec &rec)
{
    QStringList values;
    for (const QByteArray &field : {rec.Code.bytes(), rec.MNo.bytes(), rec.Name.bytes(), rec.Price.bytes(),
                                    rec.SupName.bytes(), rec.PubDate.bytes()}) {
        bool ok = false;
        values.append(fromCodePage(field, &ok));
        if (!ok)
            return std::nullopt;
    }
    return values;
}

} // namespace

QList<QByteArray> cleanLines(const QList<QByteArray> &lines)
{
    // Same result as cleaning in place from the last line to the first, without the cost of
    // deleting from the middle of a long list.
    QList<QByteArray> cleaned;
    cleaned.reserve(lines.size());
    for (const QByteArray &line : lines) {
        const QByteArray trimmed = trim(line);
        if (!trimmed.isEmpty())
            cleaned.append(StripQuotes(trimmed));
    }
    return cleaned;
}

bool MaterialExists(TData1 &session, const QString &code)
{
    const ResultSet r = session.select(
        QStringLiteral("select case when exists (select 1 from BD_Material where BD_MCode=?) then 1 else 0 end as found"),
        {code});
    return r.count() == 1 && r.integer(0, QStringLiteral("found")) == 1;
}

bool ExecSaveSQL(TData1 &session, const QStringList &values)
{
    QVariantList bound;
    for (const QString &v : values)
        bound.append(v);
    return session.execInTransaction(TData1::Query::SaveData, kInsert, bound);
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

// The cleaned lines one after another: read twice from a file (counted first, so the total is
// known before the first line is handled, then handled), or kept in memory from a pipe.
class CleanedLines {
public:
    explicit CleanedLines(SourceReader &reader) : m_reader(reader)
    {
        QByteArray raw;
        if (m_reader.canRewind()) {
            while (m_reader.readLine(raw))
                m_count += cleanLine(raw) ? 1 : 0;
            m_reader.rewind();
        } else {
            while (m_reader.readLine(raw)) {
                if (std::optional<QByteArray> line = cleanLine(raw))
                    m_kept.append(std::move(*line));
            }
            m_count = m_kept.size();
        }
    }
    qint64 count() const { return m_count; }
    bool next(QByteArray &line)
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
                line = std::move(*cleaned);
                return true;
            }
        }
        return false;
    }

private:
    SourceReader &m_reader;
    qint64 m_count = 0;
    QList<QByteArray> m_kept;
    qsizetype m_next = 0;
};

} // namespace

ImportResult RunImport(TData1 &session, const ImportRequest &request, ImportSink &sink, const CancelToken &cancel)
{
    ImportResult result;
    sink.clearLog();
    sink.addLog(QStringLiteral("开始时间:") + timeText(QDateTime::currentDateTime()));
    ImportCounters &c = result.counters;
    try {
        SourceReader reader(request.path, request.encoding);
        result.encoding = reader.encodingName();
        result.converted = reader.converted();
        if (reader.converted())
            sink.addLog(QStringLiteral("源文件编码:%1，已转换为GBK").arg(reader.encodingName()));
        CleanedLines lines(reader);
        c.sum = qint32(qMin<qint64>(lines.count(), std::numeric_limits<qint32>::max()));
        c.wdr = c.sum;
        sink.countersChanged(c);

        QSet<QByteArray> insertedThisRun; // what a dry run would have inserted
        TMaterialRec rec;
        QByteArray text;
        for (qint32 i = 0; lines.next(text); ++i) {
            if (cancel.isCancelled()) {
                sink.addLog(QStringLiteral("导入已停止"));
                result.ending = JobEnding::stopped();
                return result;
            }
            if (i >= c.sum) // the file grew between the count and now
                c.sum = i + 1;
            LineReport report;
            report.line = i + 1;
            report.text = text;
            QByteArray work = report.text;
            if (!ParseMaterialLine(rec, work, &report.reason)) {
                report.outcome = LineOutcome::Rejected;
                ++c.rejected;
            } else {
                report.sql = BuildInsertSQL(rec);
                bool codeOk = false;
                const QString code = fromCodePage(rec.Code.bytes(), &codeOk);
                const std::optional<QStringList> values = codeOk ? databaseValues(rec) : std::nullopt;
                const bool present = codeOk
                    && (MaterialExists(session, code)
                        || (request.dryRun && insertedThisRun.contains(rec.Code.bytes())));
                if (present) {
                    report.outcome = LineOutcome::Present;
                    ++c.exist;
                } else if (values && (request.dryRun || ExecSaveSQL(session, *values))) {
                    report.outcome = LineOutcome::New;
                    ++c.num;
                    insertedThisRun.insert(rec.Code.bytes());
                } else {
                    report.outcome = LineOutcome::Failed;
                    ++c.error;
                    sink.addError(QStringLiteral("入库格式错误，条码:") + fromCodePage(rec.Code.bytes()));
                    sink.addError(fromCodePage(report.sql));
                }
            }
            report.record = rec;
            c.wdr = c.sum - (i + 1);
            sink.countersChanged(c);
            sink.lineHandled(report);
            sink.progress(i + 1, c.sum);
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
    } catch (...) {
        result.ending = JobEnding::failed(messageOf(std::current_exception()));
        return result;
    }
    sink.addLog(QStringLiteral("完成时间:") + timeText(QDateTime::currentDateTime()));
    return result;
}

} // namespace chongma::import
