#include "dedupe/Backup.h"

#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/PickRule.h"
#include "text/Csv.h"
#include "text/WholeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

namespace chongma::dedupe {

namespace {

QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

const QRegularExpression &integerLiteral()
{
    static const QRegularExpression pattern(QStringLiteral("^[+-]?[0-9]+$"));
    return pattern;
}

const QRegularExpression &numberLiteral()
{
    static const QRegularExpression pattern(
        QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?$|^[+-]?(inf|infinity|nan)$"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

const QRegularExpression &hexLiteral()
{
    static const QRegularExpression pattern(QStringLiteral("^\\\\x([0-9A-Fa-f]{2})*$"));
    return pattern;
}

// A double as the shortest text that reads back as the very same double.
QString realText(double d)
{
    if (std::isnan(d))
        return QStringLiteral("nan");
    if (std::isinf(d))
        return d < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    if (d == 0)
        return std::signbit(d) ? QStringLiteral("-0") : QStringLiteral("0");
    return QString::number(d, 'g', QLocale::FloatingPointShortest);
}

std::optional<double> realOf(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == u"inf" || t == u"+inf" || t == u"infinity" || t == u"+infinity")
        return HUGE_VAL;
    if (t == u"-inf" || t == u"-infinity")
        return -HUGE_VAL;
    if (t == u"nan" || t == u"+nan" || t == u"-nan")
        return std::nan("");
    bool ok = false;
    const double d = QLocale::c().toDouble(t, &ok);
    return ok ? std::optional<double>(d) : std::nullopt;
}

// One value as a backup field: the server's own text with every digit it holds, binary data as
// \x and hex digits. A text that would read as a number or as binary data is quoted, so that
// where each value keeps its own type (SQLite) it comes back as a text.
struct Cell {
    csv::Field text;
    bool quote = false;
};

Cell cellOf(const RowView &row, int column)
{
    const QVariant v = row.value(column);
    switch (row.kind(column)) {
    case ValueKind::Null:
        return {};
    case ValueKind::Integer:
        return {v.toString()};
    case ValueKind::Real:
        return {realText(v.toDouble())};
    case ValueKind::Boolean:
        return {v.toBool() ? QStringLiteral("1") : QStringLiteral("0")};
    case ValueKind::Binary:
        return {QStringLiteral("\\x") + QString::fromLatin1(v.toByteArray().toHex())};
    case ValueKind::Text: {
        const QString text = v.toString();
        return {text, numberLiteral().match(text).hasMatch() || text.startsWith(QLatin1String("\\x"))};
    }
    default:
        return {v.toString()};
    }
}

// What a backup field puts back into a column; nothing when it cannot fit the column. Where each
// value keeps its own type (SQLite) the field's form decides it, as the backup wrote it; on
// servers the column decides, and a text goes as the server's own text form, which the server
// reads back as the same value (numbers, dates, times with every digit).
std::optional<QVariant> restoredValue(const csv::Field &field, bool quoted, const ColumnInfo &column, Dialect dialect)
{
    if (!field) {
        // A NULL of the column's own kind, so every row's insert keeps one declaration.
        switch (column.kind) {
        case ValueKind::Binary:
            return QVariant(QMetaType::fromType<QByteArray>());
        case ValueKind::Integer:
            return QVariant(QMetaType::fromType<qlonglong>());
        case ValueKind::Real:
            return QVariant(QMetaType::fromType<double>());
        case ValueKind::Boolean:
            return QVariant(QMetaType::fromType<bool>());
        default:
            return QVariant(QMetaType::fromType<QString>());
        }
    }
    const QString &text = *field;
    if (dialect == Dialect::Sqlite) {
        if (quoted)
            return QVariant(text);
        if (hexLiteral().match(text).hasMatch())
            return QVariant(QByteArray::fromHex(text.mid(2).toLatin1()));
        if (integerLiteral().match(text).hasMatch()) {
            bool ok = false;
            const qlonglong n = text.toLongLong(&ok);
            if (ok)
                return QVariant(n);
        }
        if (numberLiteral().match(text).hasMatch())
            return QVariant(*realOf(text));
        return QVariant(text);
    }
    switch (column.kind) {
    case ValueKind::Binary:
        if (!hexLiteral().match(text).hasMatch())
            return std::nullopt;
        return QVariant(QByteArray::fromHex(text.mid(2).toLatin1()));
    case ValueKind::Integer: {
        if (!integerLiteral().match(text.trimmed()).hasMatch())
            return std::nullopt;
        bool ok = false;
        const qlonglong n = text.trimmed().toLongLong(&ok);
        return ok ? QVariant(n) : QVariant(text.trimmed()); // beyond 64 bits: the server reads the digits
    }
    case ValueKind::Real:
        if (const std::optional<double> d = realOf(text))
            return QVariant(*d);
        return std::nullopt;
    case ValueKind::Boolean: {
        const QString t = text.trimmed().toLower();
        if (t == u"1" || t == u"true" || t == u"t")
            return QVariant(true);
        if (t == u"0" || t == u"false" || t == u"f")
            return QVariant(false);
        return std::nullopt;
    }
    default:
        return QVariant(text);
    }
}

// ---- the steps of a restore -----------------------------------------------------------------

csv::Table readBackupFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(QStringLiteral("Cannot open file %1: %2").arg(shown(path), file.errorString()));
    return csv::parse(file.readAll());
}

// For each of the table's columns, the backup field that holds it: the backup's columns must
// be the table's own, whatever their order.
QList<int> matchColumns(const QStringList &header, const QList<ColumnInfo> &columns)
{
    QStringList names;
    for (const ColumnInfo &column : columns)
        names.append(column.name);
    QList<int> fieldOf;
    bool matches = header.size() == columns.size();
    for (const QString &name : std::as_const(names)) {
        int at = -1;
        for (int i = 0; i < header.size(); ++i) {
            if (header.at(i).compare(name, Qt::CaseInsensitive) == 0)
                at = i;
        }
        matches = matches && at >= 0;
        fieldOf.append(at);
    }
    if (!matches) {
        throw Error(QStringLiteral("The backup's columns (%1) are not those of diskinfo (%2); nothing was restored")
                        .arg(header.join(QStringLiteral(", ")), names.join(QStringLiteral(", "))));
    }
    return fieldOf;
}

int idColumnOf(const QList<ColumnInfo> &columns)
{
    for (int i = 0; i < columns.size(); ++i) {
        if (columns.at(i).name.compare(QLatin1String("DiskID"), Qt::CaseInsensitive) == 0)
            return i;
    }
    throw Error(QStringLiteral("diskinfo has no DiskID column; nothing was restored"));
}

struct RestoreRows {
    QList<QVariantList> values; // in the table's column order
    QList<qint64> ids;
};

// Every value checked before anything is written.
RestoreRows convertRows(const csv::Table &table, const QList<ColumnInfo> &columns, const QList<int> &fieldOf,
                        int idColumn, Dialect dialect)
{
    RestoreRows rows;
    rows.values.reserve(table.rows.size());
    for (int r = 0; r < table.rows.size(); ++r) {
        QVariantList values;
        for (int c = 0; c < columns.size(); ++c) {
            const int f = fieldOf.at(c);
            const std::optional<QVariant> value =
                restoredValue(table.rows.at(r).at(f), table.quoted.at(r).at(f), columns.at(c), dialect);
            if (!value) {
                throw Error(QStringLiteral("Row %1 of the backup: \"%2\" does not fit column %3; nothing was restored")
                                .arg(r + 1)
                                .arg(table.rows.at(r).at(f).value_or(QString()), columns.at(c).name));
            }
            values.append(*value);
        }
        const QVariant &id = values.at(idColumn);
        const std::optional<qint64> whole = id.metaType().id() == QMetaType::QString
                                                ? wholeId(id, ValueKind::Decimal)
                                                : wholeId(id, kindOf(id));
        if (!whole)
            throw Error(QStringLiteral("Row %1 of the backup has no whole DiskID; nothing was restored").arg(r + 1));
        rows.ids.append(*whole);
        rows.values.append(values);
    }
    return rows;
}

// A row by its id and its barcode, the two a deletion matched it by (a NULL barcode reads "\0").
using RowKey = std::pair<qint64, QString>;

QString barKey(const QVariant &bar) { return bar.isNull() ? QStringLiteral("\0") : bar.toString(); }

// The rows of the backup that diskinfo holds already: the same id under the same barcode. A row
// with only the id (under another barcode, or none) is another row, and the deleted one still
// comes back.
QSet<RowKey> presentRows(TData1 &session, const QList<qint64> &ids)
{
    QSet<RowKey> present;
    for (qsizetype from = 0; from < ids.size(); from += sql::kIdsPerSelect) {
        const qsizetype n = qMin(sql::kIdsPerSelect, ids.size() - from);
        session.selectEach(sql::idsPresent(sql::paddedSize(n)), sql::inList(ids, from, n), [&](const RowView &row) {
            if (const std::optional<qint64> id = wholeId(row.value(0), row.kind(0)))
                present.insert({*id, barKey(row.value(1))});
            return true;
        });
    }
    return present;
}

// Whether the server makes DiskID itself (an identity column), so that rows keep their own
// only with identity_insert on.
bool idIsIdentity(TData1 &session, const QString &idColumn)
{
    const QString statement = sql::isIdentity(session.dialect());
    if (statement.isEmpty())
        return false;
    const ResultSet r = session.select(statement, {QStringLiteral("diskinfo"), idColumn});
    return r.count() == 1 && r.int64(0, QStringLiteral("isIdentity")) == 1;
}

// Explicit values into an identity column, for the inserts that follow on this connection. As
// a plain batch of its own, the setting lasts for the session.
class IdentityInsert {
public:
    IdentityInsert(TData1 &session, bool needed) : m_session(session), m_on(needed)
    {
        if (!m_on)
            return;
        try {
            m_session.execDirect(sql::identityInsert(QStringLiteral("diskinfo"), true));
        } catch (const Error &e) {
            throw Error(QStringLiteral("diskinfo's DiskID is an identity column, and the server refused "
                                       "\"set identity_insert diskinfo on\" (it takes ALTER permission on diskinfo): "
                                       "%1; nothing was restored")
                            .arg(e.message()));
        }
    }
    ~IdentityInsert()
    {
        if (m_on)
            m_session.tidyUp(sql::identityInsert(QStringLiteral("diskinfo"), false));
    }
    IdentityInsert(const IdentityInsert &) = delete;
    IdentityInsert &operator=(const IdentityInsert &) = delete;

private:
    TData1 &m_session;
    bool m_on;
};

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

int writeBackup(TData1 &session, const QList<RemovalPick> &picks, const QString &path, bool fromPickTable)
{
    // The rows are matched in the program by id and by their own barcode, exactly as the search
    // read it: a keyless table may hold the same id under other barcodes, or with a NULL one.
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

    const QString selectList = sql::backupColumns(session.describeTable(QStringLiteral("diskinfo")), session.dialect());
    QStringList columns;
    QByteArray body;
    int rows = 0;
    int idColumn = -1;
    int barColumn = -1;
    const auto backUp = [&](const RowView &row) {
            if (idColumn < 0) {
                idColumn = row.column(QStringLiteral("DiskID"));
                barColumn = row.column(QStringLiteral("Bar"));
            }
            const std::optional<qint64> id = wholeId(row.value(idColumn), row.kind(idColumn));
            if (!id || row.isNull(barColumn) || !wanted.contains({*id, row.text(barColumn)}))
                return true;
            QList<csv::Field> fields;
            QList<bool> quote;
            fields.reserve(row.columnCount());
            for (int i = 0; i < row.columnCount(); ++i) {
                Cell cell = cellOf(row, i);
                fields.append(std::move(cell.text));
                quote.append(cell.quote);
            }
            body += csv::record(fields, quote);
            ++rows;
            return true;
    };
    if (fromPickTable) {
        columns = session.selectEach(sql::rowsOfPicks(session.dialect(), selectList), {}, backUp);
    } else {
        for (qsizetype from = 0; from < ids.size(); from += sql::kIdsPerSelect) {
            const qsizetype n = qMin(sql::kIdsPerSelect, ids.size() - from);
            columns = session.selectEach(sql::rowsById(sql::paddedSize(n), selectList), sql::inList(ids, from, n), backUp);
        }
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
    writeWholeFile(path, bytes);
    return rows;
}

RestoreOutcome restoreBackup(TData1 &session, const QString &path, bool dryRun, OperationSink &sink,
                             const CancelToken &cancel)
{
    RestoreOutcome outcome;
    try {
        const csv::Table table = readBackupFile(path);
        const QList<ColumnInfo> columns = session.describeTable(QStringLiteral("diskinfo"));
        const QList<int> fieldOf = matchColumns(table.header, columns);
        const int idColumn = idColumnOf(columns);
        const RestoreRows rows = convertRows(table, columns, fieldOf, idColumn, session.dialect());
        const QSet<RowKey> present = presentRows(session, rows.ids);
        int barColumn = -1;
        for (int i = 0; i < columns.size(); ++i) {
            if (columns.at(i).name.compare(QLatin1String("Bar"), Qt::CaseInsensitive) == 0)
                barColumn = i;
        }
        if (barColumn < 0)
            throw Error(QStringLiteral("diskinfo has no Bar column; nothing was restored"));

        QStringList names;
        for (const ColumnInfo &column : columns)
            names.append(column.name);
        const QString insert = sql::insertRow(QStringLiteral("diskinfo"), names);
        std::optional<IdentityInsert> identity;
        if (!dryRun) {
            identity.emplace(session, idIsIdentity(session, columns.at(idColumn).name));
            session.begin();
        }
        for (int r = 0; r < rows.values.size(); ++r) {
            if (cancel.isCancelled()) {
                if (!dryRun)
                    session.rollback();
                return {JobEnding::stopped(), 0, 0};
            }
            if (present.contains({rows.ids.at(r), barKey(rows.values.at(r).at(barColumn))})) {
                ++outcome.present;
                continue;
            }
            if (!dryRun) {
                const StatementResult inserted = session.run(TData1::Query::SaveData, insert, rows.values.at(r));
                if (!inserted.ok) {
                    session.rollback(inserted.error);
                    throw Error(QStringLiteral("Row %1 of the backup could not be inserted: %2; nothing was restored")
                                    .arg(r + 1)
                                    .arg(inserted.error));
                }
            }
            ++outcome.restored;
            sink.progress(r + 1, rows.values.size());
        }
        if (!dryRun) {
            const StatementResult committed = session.commit();
            if (!committed.ok)
                throw Error(committed.error);
        }
    } catch (...) {
        return {JobEnding::failed(messageOf(std::current_exception())), 0, 0};
    }
    return outcome;
}

} // namespace chongma::dedupe
