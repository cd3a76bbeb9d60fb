#include "import/ImportRun.h"

#include "data/Error.h"
#include "data/Session.h"
#include "import/SourceReader.h"
#include "text/CodePage.h"
#include "text/TimeText.h"

#include <QSet>

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

ImportResult RunImport(TData1 &session, const QString &path, ImportSink &sink, const ImportOptions &options)
{
    ImportResult result;
    sink.clearLog();
    sink.addLog(QStringLiteral("开始时间:") + timeText(QDateTime::currentDateTime()));

    result.lines = cleanLines(loadSourceLines(path));
    ImportCounters &c = result.counters;
    c.sum = qint32(result.lines.size());
    c.wdr = c.sum;
    sink.countersChanged(c);

    QSet<QByteArray> insertedThisRun; // what a dry run would have inserted
    TMaterialRec rec;
    for (qint32 i = 0; i < c.sum; ++i) {
        if (!sink.progress(i, c.sum)) {
            sink.addLog(QStringLiteral("导入已停止"));
            return result;
        }
        LineReport report;
        report.line = i + 1;
        report.text = result.lines.at(i);
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
                && (MaterialExists(session, code) || (options.dryRun && insertedThisRun.contains(rec.Code.bytes())));
            if (present) {
                report.outcome = LineOutcome::Present;
                ++c.exist;
            } else if (values && (options.dryRun || ExecSaveSQL(session, *values))) {
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
    }
    sink.progress(c.sum, c.sum);
    result.complete = true;
    sink.addLog(QStringLiteral("完成时间:") + timeText(QDateTime::currentDateTime()));
    return result;
}

} // namespace chongma::import
