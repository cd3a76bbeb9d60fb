#include "data/Catalog.h"

#include "data/Error.h"
#include "data/Session.h"
#include "data/Statements.h"

namespace chongma {

const ColumnFacts *TableFacts::column(const QString &name) const
{
    for (const ColumnFacts &c : columns) {
        if (c.name.compare(name, Qt::CaseInsensitive) == 0)
            return &c;
    }
    return nullptr;
}

namespace catalog {

namespace {

// The statement's placeholders all take the table's name.
QVariantList tableValues(const QString &sql, const QString &table) { return QVariantList(sql.count(u'?'), table); }

QStringList names(TData1 &session, const QString &sql, const QString &table)
{
    QStringList list;
    const ResultSet r = session.select(sql, tableValues(sql, table));
    for (int i = 0; i < r.count(); ++i)
        list.append(r.text(i, QStringLiteral("name")));
    return list;
}

bool isText(const QString &type)
{
    const QString t = type.toLower();
    return t == u"varchar" || t == u"char" || t == u"text";
}

} // namespace

std::optional<QStringList> indexLeaders(TData1 &session, const QString &table)
{
    const QString sql = sql::catalog::indexedColumns(session.dialect());
    if (sql.isEmpty())
        return std::nullopt;
    try {
        return names(session, sql, table);
    } catch (const Error &) {
        return std::nullopt;
    }
}

std::optional<bool> leadsIndex(TData1 &session, const QString &table, const QString &column)
{
    const std::optional<QStringList> leaders = indexLeaders(session, table);
    if (!leaders)
        return std::nullopt;
    return leaders->contains(column, Qt::CaseInsensitive);
}

TableFacts describe(TData1 &session, const QString &table)
{
    TableFacts facts;
    facts.table = table;
    const Dialect dialect = session.dialect();
    facts.dialect = dialect;
    const QString columns = sql::catalog::columns(dialect);
    if (columns.isEmpty())
        return facts;
    try {
        const ResultSet r = session.select(columns, tableValues(columns, table));
        for (int i = 0; i < r.count(); ++i) {
            ColumnFacts c;
            c.name = r.text(i, QStringLiteral("name"));
            c.type = r.text(i, QStringLiteral("type"));
            const qint64 size = r.isNull(i, QStringLiteral("size")) ? 0 : r.int64(i, QStringLiteral("size"));
            if (size > 0 && (isText(c.type) || c.type.startsWith(QLatin1String("character"), Qt::CaseInsensitive)
                             || c.type.startsWith(u'n', Qt::CaseInsensitive)))
                c.type += QStringLiteral("(%1)").arg(size);
            else if (size < 0)
                c.type += QStringLiteral("(max)");
            c.collation = r.text(i, QStringLiteral("collation"));
            c.identity = r.int64(i, QStringLiteral("isIdentity")) == 1;
            facts.columns.append(c);
        }
        const QStringList indexed = names(session, sql::catalog::indexedColumns(dialect), table);
        for (ColumnFacts &c : facts.columns)
            c.indexed = indexed.contains(c.name, Qt::CaseInsensitive);
        facts.triggers = names(session, sql::catalog::triggers(dialect), table);
        facts.known = !facts.columns.isEmpty();
    } catch (const Error &) {
        facts.known = false;
    }
    return facts;
}

std::optional<sql::Collation> copyCollation(TData1 &session, const QString &table, const QString &column)
{
    if (session.dialect() != Dialect::Sqlite)
        return sql::Collation::Bytes;
    const ResultSet r = session.select(sql::comparison(table, column), {});
    const bool caseBlind = r.integer(0, QStringLiteral("caseBlind")) > 0;
    const bool blankBlind = r.integer(0, QStringLiteral("blankBlind")) > 0;
    if (caseBlind && blankBlind)
        return std::nullopt;
    return caseBlind ? sql::Collation::CaseBlind : blankBlind ? sql::Collation::BlankBlind : sql::Collation::Bytes;
}

bool comparesAsText(TData1 &session, const QString &table, const QString &column)
{
    const Dialect dialect = session.dialect();
    const QString sql = sql::catalog::columnType(dialect);
    if (sql.isEmpty())
        return true;
    QString type;
    try {
        const ResultSet r = session.select(sql, {table, column});
        if (r.count() != 1)
            return true;
        type = r.text(0, QStringLiteral("type")).toLower();
    } catch (const Error &) {
        return true;
    }
    switch (dialect) {
    case Dialect::SqlServer:
        return QStringList{"char", "varchar", "nchar", "nvarchar", "text", "ntext"}.contains(type);
    case Dialect::PostgreSQL:
        return QStringList{"character varying", "character", "text", "name"}.contains(type);
    case Dialect::Sqlite:
        // The column's affinity, by SQLite's rules in their order: none (no type, or a blob)
        // compares values as they are, and the import binds text.
        if (type.contains(QLatin1String("int")))
            return false;
        return type.contains(QLatin1String("char")) || type.contains(QLatin1String("clob"))
               || type.contains(QLatin1String("text")) || type.contains(QLatin1String("blob")) || type.trimmed().isEmpty();
    case Dialect::Other:
        break;
    }
    return true;
}

QStringList warnings(const TableFacts &diskinfo, const TableFacts &materials)
{
    QStringList lines;
    const struct {
        const TableFacts &facts;
        const char *column;
        const char *cost;
    } matched[] = {
        {diskinfo, "DiskID", "every removal batch reads the whole table to find its rows"},
        {diskinfo, "Bar", "the search and every removal batch read the whole table"},
        {materials, "BD_MCode", "every import batch reads the whole table to look its codes up"},
    };
    for (const auto &m : matched) {
        const ColumnFacts *c = m.facts.known ? m.facts.column(QString::fromLatin1(m.column)) : nullptr;
        if (!c)
            continue;
        if (!c->indexed)
            lines << QStringLiteral("%1.%2 has no index: %3").arg(m.facts.table, c->name, QString::fromLatin1(m.cost));
        // nvarchar values against a varchar column under an SQL_ collation: the server converts
        // the column, row by row, and cannot seek its index.
        if (isText(c->type.section(u'(', 0, 0)) && c->collation.startsWith(QLatin1String("SQL_"), Qt::CaseInsensitive))
            lines << QStringLiteral("%1.%2 is %3 under the collation %4: compared with Unicode values the server scans "
                                    "it instead of seeking (a Windows collation, or nvarchar, seeks)")
                         .arg(m.facts.table, c->name, c->type, c->collation);
    }
    for (const TableFacts *t : {&diskinfo, &materials}) {
        if (t->known && !t->triggers.isEmpty())
            lines << QStringLiteral("%1 has triggers or rules (%2): each deletion is judged by what the table holds "
                                    "afterwards, and one they change is refused")
                         .arg(t->table, t->triggers.join(QStringLiteral(", ")));
    }
    // Elsewhere an identity column takes explicit values as they are.
    const ColumnFacts *id = diskinfo.known ? diskinfo.column(QStringLiteral("DiskID")) : nullptr;
    if (id && id->identity && diskinfo.dialect == Dialect::SqlServer)
        lines << QStringLiteral("diskinfo.DiskID is an identity column: restoring rows with their own DiskID takes "
                                "ALTER permission on diskinfo (set identity_insert)");
    return lines;
}

} // namespace catalog
} // namespace chongma
