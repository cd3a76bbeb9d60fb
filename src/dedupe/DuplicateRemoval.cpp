#include "dedupe/DuplicateRemoval.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "text/CodePage.h"

#include <QDir>
#include <QFile>

namespace chongma::dedupe {

namespace {

qint32 toDiskId(const QString &text)
{
    bool ok = false;
    const qint32 id = text.toInt(&ok, 10);
    if (!ok)
        throw Error(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return id;
}

} // namespace

bool DeleteDisk(TData1 &session, qint32 diskId, const QString &barcode, bool *deleted)
{
    int affected = -1;
    const bool committed = session.execInTransaction(
        TData1::Query::Curve, QStringLiteral("delete from diskinfo where DiskID=? and Bar=? "),
        {diskId, barcode}, &affected);
    if (deleted)
        *deleted = committed && affected > 0;
    return committed;
}

RemovalOutcome removeDuplicates(TData1 &session, const QList<RemovalEntry> &entries, OperationSink &sink)
{
    RemovalOutcome outcome;
    const qint64 total = entries.size();
    for (qint64 i = 0; i < total; ++i) {
        const RemovalEntry &entry = entries.at(i);
        bool deleted = false;
        if (!DeleteDisk(session, toDiskId(entry.id), entry.barcode, &deleted)) {
            ++outcome.refused;
        } else if (deleted) {
            ++outcome.deleted;
            sink.addLog(QStringLiteral("删除重码:") + entry.id);
        } else {
            ++outcome.gone;
            sink.addLog(QStringLiteral("重码已不存在:") + entry.id);
        }
        sink.progress(i + 1, total); // a confirmed removal runs to its end
    }
    return outcome;
}

void writeDelLog(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += toCodePage(line) + "\r\n";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw Error(QStringLiteral("Cannot create file %1").arg(QDir::toNativeSeparators(path)));
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw Error(QStringLiteral("Stream write error"));
}

} // namespace chongma::dedupe
