#include "dedupe/Backup.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/PickRule.h"
#include "text/Csv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QSqlField>
#include <QSqlRecord>

namespace chongma::dedupe {

namespace {


QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

csv::Field cellText(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return std::nullopt;
    switch (v.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::QDateTime:
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    case QMetaType::QDate:
        return v.toDate().toString(Qt::ISODate);
    case QMetaType::QTime:
        return v.toTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    case QMetaType::QByteArray:
        return QStringLiteral("\\x") + QString::fromLatin1(v.toByteArray().toHex());
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    default:
        return v.toString();
    }
}

// The text of a backup field as a value for a column of type `type`; invalid when it does not fit.
QVariant cellValue(const QString &text, QMetaType type)
{
    bool ok = false;
    if (isIntegerType(type)) {
        const qlonglong n = text.trimmed().toLongLong(&ok);
        return ok ? QVariant(n) : QVariant();
    }
    switch (type.id()) {
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = text.trimmed().toDouble(&ok);
        return ok ? QVariant(d) : QVariant();
    }
    case QMetaType::Bool: {
        const QString t = text.trimmed().toLower();
        if (t == u"1" || t == u"true" || t == u"t")
            return true;
        if (t == u"0" || t == u"false" || t == u"f")
            return false;
        return {};
    }
    case QMetaType::QDateTime: {
        for (const QString &format : {QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"), QStringLiteral("yyyy-MM-dd HH:mm:ss")}) {
            const QDateTime when = QDateTime::fromString(text.trimmed(), format);
            if (when.isValid())
                return when;
        }
        const QDateTime iso = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
        return iso.isValid() ? QVariant(iso) : QVariant();
    }
    case QMetaType::QDate: {
        const QDate day = QDate::fromString(text.trimmed(), Qt::ISODate);
        return day.isValid() ? QVariant(day) : QVariant();
    }
    case QMetaType::QTime: {
        QTime time = QTime::fromString(text.trimmed(), QStringLiteral("HH:mm:ss.zzz"));
        if (!time.isValid())
            time = QTime::fromString(text.trimmed(), Qt::ISODate);
        return time.isValid() ? QVariant(time) : QVariant();
    }
    case QMetaType::QByteArray:
        if (!text.startsWith(QStringLiteral("\\x")))
            return {};
        return QByteArray::fromHex(text.mid(2).toLatin1());
    default:
        return text;
    }
}

} // namespace

QString backupPathFor(const QString &delLogPath, const QDateTime &when)
{
    const QDir folder(QFileInfo(delLogPath).absoluteDir().filePath(QStringLiteral("backup")));
    const QString stem = QStringLiteral("diskinfo-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString path = folder.filePath(stem + QStringLiteral(".csv"));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = folder.filePath(QStringLiteral("%1-%2.csv").arg(stem).arg(n));
    return path;
}

int writeBackup(TData1 &session, const QList<RemovalPick> &picks, const QString &path)
{
    // The rows are matched in the program by id and by their own barcode, exactly as the search
    // read it: a keyless table may hold the same id under other barcodes.
    // One flat set: a set per id would cost a kilobyte or so per pick.
    QSet<std::pair<qint64, QString>> wanted;
    QSet<qint64> seen;
    QList<qint64> ids;
    wanted.reserve(picks.size());
    for (const RemovalPick &pick : picks) {
        if (!seen.contains(pick.id)) {
            seen.insert(pick.id);
            ids.append(pick.id);
        }
        wanted.insert({pick.id, pick.bar});
    }
    seen.clear();

    QStringList columns;
    QByteArray body;
    int rows = 0;
    for (qsizetype from = 0; from < ids.size(); from += sql::kIdsPerSelect) {
        const qsizetype n = qMin(sql::kIdsPerSelect, ids.size() - from);
        int idColumn = -1;
        int barColumn = -1;
        columns = session.selectEach(sql::rowsById(sql::paddedSize(n)), sql::inList(ids, from, n), [&](const RowView &row) {
            if (idColumn < 0) {
                idColumn = row.column(QStringLiteral("DiskID"));
                barColumn = row.column(QStringLiteral("Bar"));
            }
            const std::optional<qint64> id = wholeId(row.value(idColumn));
            if (!id || !wanted.contains({*id, row.text(barColumn)}))
                return true;
            QList<csv::Field> fields;
            fields.reserve(row.columnCount());
            for (int i = 0; i < row.columnCount(); ++i)
                fields.append(cellText(row.value(i)));
            body += csv::record(fields);
            ++rows;
            return true;
        });
    }
    if (columns.isEmpty())
        columns = session.columnsOf(QStringLiteral("diskinfo"));
    QList<csv::Field> header;
    for (const QString &column : std::as_const(columns))
        header.append(column);
    const QByteArray bytes = QByteArray("\xEF\xBB\xBF") + csv::record(header) + body;

    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw Error(QStringLiteral("Cannot create file %1: cannot create the folder %2").arg(shown(path), shown(folder)));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw Error(QStringLiteral("Cannot create file %1: %2").arg(shown(path), file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw Error(QStringLiteral("Stream write error: %1: %2").arg(shown(path), file.errorString()));
    return rows;
}

RestoreOutcome restoreBackup(TData1 &session, const QString &path, bool dryRun, OperationSink &sink,
                             const CancelToken &cancel)
{
    RestoreOutcome outcome;
    try {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw Error(QStringLiteral("Cannot open file %1: %2").arg(shown(path), file.errorString()));
        const csv::Table table = csv::parse(file.readAll());

        // The backup's columns must be the table's own, whatever their order.
        const QSqlRecord record = session.recordOf(QStringLiteral("diskinfo"));
        QStringList tableColumns;
        for (int i = 0; i < record.count(); ++i)
            tableColumns.append(record.fieldName(i));
        QList<int> fieldOf; // table column -> backup field
        bool matches = table.header.size() == tableColumns.size();
        for (const QString &column : std::as_const(tableColumns)) {
            int at = -1;
            for (int i = 0; i < table.header.size(); ++i) {
                if (table.header.at(i).compare(column, Qt::CaseInsensitive) == 0)
                    at = i;
            }
            matches = matches && at >= 0;
            fieldOf.append(at);
        }
        if (!matches) {
            throw Error(QStringLiteral("The backup's columns (%1) are not those of diskinfo (%2); nothing was restored")
                            .arg(table.header.join(QStringLiteral(", ")), tableColumns.join(QStringLiteral(", "))));
        }
        const int idColumn = int(tableColumns.indexOf(QRegularExpression(QStringLiteral("^DiskID$"),
                                                                         QRegularExpression::CaseInsensitiveOption)));
        if (idColumn < 0)
            throw Error(QStringLiteral("diskinfo has no DiskID column; nothing was restored"));

        // Every value is checked before anything is written.
        QList<QVariantList> rows;
        QList<qint64> ids;
        rows.reserve(table.rows.size());
        for (int r = 0; r < table.rows.size(); ++r) {
            QVariantList values;
            for (int c = 0; c < tableColumns.size(); ++c) {
                const csv::Field &field = table.rows.at(r).at(fieldOf.at(c));
                const QMetaType type = record.field(c).metaType();
                if (!field) {
                    values.append(QVariant(type));
                    continue;
                }
                const QVariant value = cellValue(*field, type);
                if (!value.isValid()) {
                    throw Error(QStringLiteral("Row %1 of the backup: \"%2\" does not fit column %3; nothing was restored")
                                    .arg(r + 1).arg(*field, tableColumns.at(c)));
                }
                values.append(value);
            }
            const std::optional<qint64> id = wholeId(values.at(idColumn));
            if (!id) {
                throw Error(QStringLiteral("Row %1 of the backup has no whole DiskID; nothing was restored").arg(r + 1));
            }
            ids.append(*id);
            rows.append(values);
        }

        QSet<qint64> present;
        for (qsizetype from = 0; from < ids.size(); from += sql::kIdsPerSelect) {
            const qsizetype n = qMin(sql::kIdsPerSelect, ids.size() - from);
            session.selectEach(sql::idsPresent(sql::paddedSize(n)), sql::inList(ids, from, n), [&](const RowView &row) {
                if (const std::optional<qint64> id = wholeId(row.value(0)))
                    present.insert(*id);
                return true;
            });
        }

        const QString insert = sql::insertRow(QStringLiteral("diskinfo"), tableColumns);
        const bool sqlServer = session.link().kind == DataLink::Kind::SqlServer;
        if (!dryRun) {
            // An identity DiskID takes explicit values only with this switched on; a table
            // without one refuses the switch, which is then of no matter.
            if (sqlServer) {
                try {
                    session.execDirect(sql::identityInsert(QStringLiteral("diskinfo"), true));
                } catch (const Error &) {
                }
            }
            session.begin();
        }
        for (int r = 0; r < rows.size(); ++r) {
            if (cancel.isCancelled()) {
                if (!dryRun)
                    session.rollback();
                return {JobEnding::stopped(), 0, 0};
            }
            if (present.contains(ids.at(r))) {
                ++outcome.present;
                continue;
            }
            if (!dryRun) {
                const StatementResult inserted = session.run(TData1::Query::SaveData, insert, rows.at(r));
                if (!inserted.ok) {
                    session.rollback(inserted.error);
                    throw Error(QStringLiteral("Row %1 of the backup could not be inserted: %2; nothing was restored")
                                    .arg(r + 1)
                                    .arg(inserted.error));
                }
            }
            ++outcome.restored;
            sink.progress(r + 1, rows.size());
        }
        if (!dryRun) {
            const StatementResult committed = session.commit();
            if (!committed.ok)
                throw Error(committed.error);
            if (sqlServer) {
                try {
                    session.execDirect(sql::identityInsert(QStringLiteral("diskinfo"), false));
                } catch (const Error &) {
                }
            }
        }
    } catch (...) {
        return {JobEnding::failed(messageOf(std::current_exception())), 0, 0};
    }
    return outcome;
}

} // namespace chongma::dedupe
