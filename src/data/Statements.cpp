#include "data/Statements.h"

#include <QRegularExpression>

namespace chongma::sql {

namespace {

// `n` copies of `term`, separated by `separator`.
QString repeated(const QString &term, qsizetype n, const QString &separator)
{
    QString text;
    text.reserve(n * (term.size() + separator.size()));
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0)
            text += separator;
        text += term;
    }
    return text;
}

QString placeholders(qsizetype n) { return repeated(QStringLiteral("?"), n, QStringLiteral(",")); }

const QString kMaterialColumns =
    QStringLiteral("BD_Material(BD_MCode, BD_MNo, BD_MName, BD_MPRICE, Pur_SupName, BD_MPUBDATE)");

const QString kDuplicateTable = QStringLiteral("chongma_duplicates"); // SQLite's (createDuplicateTable)

// A SQLite column declaration's collation.
QString collateClause(Collation collation)
{
    switch (collation) {
    case Collation::CaseBlind:
        return QStringLiteral(" collate nocase");
    case Collation::BlankBlind:
        return QStringLiteral(" collate rtrim");
    case Collation::Bytes:
        break;
    }
    return {};
}

// A SQLite session table of codes, each once, keyed and compared as `collation` says.
QString createKeyedCodes(const QString &name, Collation collation)
{
    return QStringLiteral("create temp table %1 (BD_MCode%2 primary key) without rowid").arg(name, collateClause(collation));
}

} // namespace

qsizetype paddedSize(qsizetype n, qsizetype most)
{
    qsizetype size = 1;
    while (size < n)
        size *= 2;
    return qMax(n, qMin(size, most));
}

void padList(QList<QVariant> &values, qsizetype size)
{
    if (values.isEmpty())
        return;
    const QVariant last = values.last();
    while (values.size() < size)
        values.append(last);
}

QString probe() { return QStringLiteral("select 1"); }

// A harmless statement that still makes SQLite read its own catalogue: it opens any file
// lazily, and only reading the schema tells a database from a text file.
QString openingProbe(Dialect dialect)
{
    return dialect == Dialect::Sqlite ? QStringLiteral("select count(*) from sqlite_master") : probe();
}

QStringList sessionSettings(Dialect dialect, int commandTimeout)
{
    switch (dialect) {
    case Dialect::PostgreSQL:
        return {QStringLiteral("set statement_timeout = %1").arg(qint64(commandTimeout) * 1000)};
    case Dialect::SqlServer:
        // The removal and the import give way to the users' own application in a deadlock.
        return {QStringLiteral("set deadlock_priority low")};
    case Dialect::Sqlite:
        // Reads through a mapping rather than a read call per page: the search fetches its
        // rows scattered over the table. Bounded, so memory stays the same on any size of
        // file; the mapping is read-only, writes still go through the journal.
        // The session's temporary tables (the duplicated barcodes, the import's copy of the
        // codes) get a cache of their own, also bounded. Sorts that outgrow memory (grouping Bar
        // without an index) sort their runs on two helper threads: 4 million rows, 4.5 s
        // against 5.1 s, a few MB more.
        return {QStringLiteral("pragma mmap_size = 67108864"), QStringLiteral("pragma temp.cache_size = -16384"),
                QStringLiteral("pragma threads = 2")};
    default:
        return {};
    }
}

QString comparison(const QString &table, const QString &column)
{
    // A compound select's column compares as its first select's column does.
    const QString compared = QStringLiteral("(select %1 as c from %2 where 0 union all select 'a')").arg(column, table);
    return QStringLiteral("select (select count(*) from %1 where c = 'A') as caseBlind, "
                          "(select count(*) from %1 where c = 'a  ') as blankBlind")
        .arg(compared);
}

QString duplicateRows(bool fromTable)
{
    if (fromTable)
        return QStringLiteral("select count(*) over (partition by Bar) as Rows, DiskID, DiskNum, Bar "
                              "from diskinfo where Bar in (select Bar from temp.%1) order by Bar, DiskID")
            .arg(kDuplicateTable);
    // The grouped barcodes are joined once, as an index (or hash) on every server, so the
    // statement stays one scan and one sort without an index on Bar. The rows of one barcode,
    // as the server compares them (case, blanks), come together in DiskID order, each telling
    // how many there are: its group's count, where a window count would sort the rows once
    // more (SQLite) or spool them (SQL Server). The range reads as "> 1"; planners guess a bare
    // "> 1" keeps a third of the groups and then read the whole table in Bar order for them,
    // slower than the hash or index lookups they choose for the real few. Its upper bound is a
    // one-row subquery so the grouping runs once: PostgreSQL keeps a plan node with such a
    // subquery out of its parallel workers, which would otherwise each repeat the whole grouped
    // scan for their own hash table (a third slower on two cores).
    return QStringLiteral("select g.n as Rows, d.DiskID, d.DiskNum, d.Bar from diskinfo as d join "
                          "(select Bar, count(*) as n from diskinfo where Bar is not null group by Bar "
                          "having count(*) between 2 and (select 2147483647)) as g on d.Bar = g.Bar "
                          "order by d.Bar, d.DiskID");
}

// Without an index on Bar, SQLite keeps the barcodes of the IN list in a temporary index
// with a fixed cache of 2 MB: past some 100 000 duplicated barcodes every row's probe read
// that index's pages from its file (4 million rows: 2.3 million reads, against 4 000 at a
// million). A table of the session is cached as the session says (temp.cache_size).
QStringList createDuplicateTable(Dialect dialect, Collation collation)
{
    if (dialect != Dialect::Sqlite)
        return {};
    // Compared as diskinfo's Bar, so the IN list is probed through its index.
    return {dropDuplicateTable(dialect),
            QStringLiteral("create temp table %1 (Bar%2)").arg(kDuplicateTable, collateClause(collation)),
            QStringLiteral("insert into temp.%1 select Bar from diskinfo where Bar is not null "
                           "group by Bar having count(*) between 2 and (select 2147483647)")
                .arg(kDuplicateTable),
            QStringLiteral("create index temp.%1_bar on %1 (Bar)").arg(kDuplicateTable)};
}

QString dropDuplicateTable(Dialect dialect)
{
    return dialect == Dialect::Sqlite ? QStringLiteral("drop table if exists temp.%1").arg(kDuplicateTable) : QString();
}

QString distinctBars()
{
    return QStringLiteral("select distinct Bar from diskinfo where Bar is not null order by Bar");
}

QString rowsOfBar() { return QStringLiteral("select DiskID,DiskNum,Bar from diskinfo where Bar=? order by DiskID"); }

QString deleteRow() { return QStringLiteral("delete from diskinfo where DiskID=? and Bar=? "); }

QString rowsOfBars(qsizetype bars, Dialect dialect, bool locked)
{
    const QString hint = locked && dialect == Dialect::SqlServer ? QStringLiteral(" with (updlock, holdlock)") : QString();
    const QString tail = locked && dialect == Dialect::PostgreSQL ? QStringLiteral(" for update") : QString();
    return QStringLiteral("select DiskID, Bar from diskinfo%1 where Bar in (%2)%3").arg(hint, placeholders(bars), tail);
}

QString deleteRows(qsizetype rows)
{
    return QStringLiteral("delete from diskinfo where DiskID in (%1) and Bar in (%1)").arg(placeholders(rows));
}

QString backupColumns(const QList<ColumnInfo> &columns, Dialect dialect)
{
    QStringList list;
    for (const ColumnInfo &column : columns) {
        const QString name = columnName(column.name);
        list.append(dialect == Dialect::PostgreSQL && column.kind == ValueKind::Temporal
                        ? QStringLiteral("cast(%1 as text) as %1").arg(name)
                        : name);
    }
    return list.join(QStringLiteral(", "));
}

QString rowsById(qsizetype ids, const QString &selectList)
{
    return QStringLiteral("select %1 from diskinfo where DiskID in (%2)").arg(selectList, placeholders(ids));
}

QString idsPresent(qsizetype ids)
{
    return QStringLiteral("select DiskID, Bar from diskinfo where DiskID in (%1)").arg(placeholders(ids));
}

QString emptySelect(const QString &table) { return QStringLiteral("select * from %1 where 1=0").arg(table); }

QString insertRow(const QString &table, const QStringList &columns)
{
    QStringList names;
    for (const QString &column : columns)
        names.append(columnName(column));
    return QStringLiteral("insert into %1 (%2) values (%3)")
        .arg(table, names.join(QStringLiteral(", ")), placeholders(columns.size()));
}

QString identityInsert(const QString &table, bool on)
{
    return QStringLiteral("set identity_insert %1 %2").arg(table, on ? QStringLiteral("on") : QStringLiteral("off"));
}

QString isIdentity(Dialect dialect)
{
    if (dialect != Dialect::SqlServer)
        return {};
    return QStringLiteral("select columnproperty(object_id(?), ?, 'IsIdentity') as isIdentity");
}

namespace {

QString pickTable(Dialect dialect)
{
    switch (dialect) {
    case Dialect::SqlServer:
        return QStringLiteral("#chongma_picks");
    case Dialect::PostgreSQL:
        return QStringLiteral("pg_temp.chongma_picks");
    case Dialect::Sqlite:
        return QStringLiteral("temp.chongma_picks");
    case Dialect::Other:
        break;
    }
    return {};
}

} // namespace

QString dropPickTable(Dialect dialect)
{
    if (dialect == Dialect::SqlServer)
        return QStringLiteral("if object_id('tempdb..#chongma_picks') is not null drop table #chongma_picks");
    const QString table = pickTable(dialect);
    return table.isEmpty() ? QString() : QStringLiteral("drop table if exists %1").arg(table);
}

QStringList createPickTable(Dialect dialect)
{
    // Made from diskinfo itself, so its Bar compares as diskinfo's does (type and collation);
    // the id as a 64-bit number (an identity property would not take the ids).
    switch (dialect) {
    case Dialect::SqlServer:
        return {dropPickTable(dialect),
                QStringLiteral("select cast(0 as int) as Batch, cast(DiskID as bigint) as DiskID, Bar into #chongma_picks "
                               "from diskinfo where 1=0"),
                QStringLiteral("create index chongma_picks_batch on #chongma_picks (Batch)")};
    case Dialect::PostgreSQL:
        return {dropPickTable(dialect),
                QStringLiteral("create temporary table chongma_picks as select cast(0 as int) as Batch, "
                               "cast(DiskID as bigint) as DiskID, Bar from diskinfo where 1=0"),
                QStringLiteral("create index on chongma_picks (Batch)")};
    case Dialect::Sqlite:
        return {dropPickTable(dialect),
                QStringLiteral("create temp table chongma_picks as select cast(0 as integer) as Batch, "
                               "cast(DiskID as integer) as DiskID, Bar from diskinfo where 0"),
                QStringLiteral("create index temp.chongma_picks_batch on chongma_picks (Batch)")};
    case Dialect::Other:
        break;
    }
    return {};
}

QString insertPicks(Dialect dialect, qsizetype picks)
{
    // The batch bound once, the picks as a values list (SQLite names its columns itself). Cast,
    // as psqlODBC sends values untyped and a values list takes them for texts.
    const QString rows = repeated(QStringLiteral("(?, ?)"), picks, QStringLiteral(", "));
    const QString table = pickTable(dialect);
    return QStringLiteral("insert into %1 (Batch, DiskID, Bar) select cast(? as int), cast(column1 as bigint), column2 "
                          "from (values %2)%3")
        .arg(table, rows, dialect == Dialect::Sqlite ? QString() : QStringLiteral(" as v (column1, column2)"));
}

QString analyzePickTable(Dialect dialect)
{
    // Autovacuum never analyses a temporary table. Unanalysed, PostgreSQL guesses a batch of the
    // loaded table holds some 75 picks and, without an index on diskinfo, checks each deleted
    // row's Bar against every pick of its batch in turn (a million rows: 2.1 s a batch of 6 000
    // picks, 18 million comparisons). SQL Server makes its own statistics on a temporary table.
    return dialect == Dialect::PostgreSQL ? QStringLiteral("analyze %1").arg(pickTable(dialect)) : QString();
}

QString rowsOfPickedBars(Dialect dialect, bool locked)
{
    const QString hint = locked && dialect == Dialect::SqlServer ? QStringLiteral(" with (updlock, holdlock)") : QString();
    const QString tail = locked && dialect == Dialect::PostgreSQL ? QStringLiteral(" for update of d") : QString();
    return QStringLiteral("select d.DiskID, d.Bar from diskinfo as d%1 where d.Bar in "
                          "(select p.Bar from %2 as p where p.Batch between ? and ?)%3")
        .arg(hint, pickTable(dialect), tail);
}

QString deletePicked(Dialect dialect)
{
    // Two uncorrelated lists, which every planner that knows the pick table's size turns into a
    // lookup table once, rather than a subquery run for every row of diskinfo (SQLite's plan for
    // an EXISTS on a key-less table).
    // Ids and barcodes of a batch may pair up otherwise than picked: the batch's check of the
    // rows among its barcodes rules that out before the delete runs.
    return QStringLiteral("delete from diskinfo where DiskID in (select p.DiskID from %1 as p where p.Batch between ? and ?) "
                          "and Bar in (select q.Bar from %1 as q where q.Batch between ? and ?)")
        .arg(pickTable(dialect));
}

QString rowsOfPicks(Dialect dialect, const QString &selectList)
{
    return QStringLiteral("select %1 from diskinfo where DiskID in (select p.DiskID from %2 as p)")
        .arg(selectList, pickTable(dialect));
}

QString materialExists(const QString &codes)
{
    return QStringLiteral("select case when exists (select 1 from %1 where BD_MCode=?) then 1 else 0 end as found").arg(codes);
}

QString materialRows() { return QStringLiteral("select count(*) as n from BD_Material"); }

QString insertMaterial() { return QStringLiteral("insert into %1 values(?, ?, ?, ?, ?, ?); ").arg(kMaterialColumns); }

QString insertMaterialsPadded(Dialect dialect, qsizetype rows)
{
    // SQLite names a values list's columns itself and takes no list of names for them.
    const bool sqlite = dialect == Dialect::Sqlite;
    const QString columns = sqlite ? QStringLiteral("column1, column2, column3, column4, column5, column6")
                                   : QStringLiteral("c1, c2, c3, c4, c5, c6");
    return QStringLiteral("insert into %1 select %2 from (values %3)%4 where %5 is not null")
        .arg(kMaterialColumns, columns, repeated(QStringLiteral("(?, ?, ?, ?, ?, ?)"), rows, QStringLiteral(", ")),
             sqlite ? QString() : QStringLiteral(" as v (%1)").arg(columns),
             sqlite ? QStringLiteral("column1") : QStringLiteral("c1"));
}

QString materialsPresent(qsizetype codes, const QString &table)
{
    return QStringLiteral("select BD_MCode from %1 where BD_MCode in (%2)").arg(table, placeholders(codes));
}

QString codeTable(Dialect dialect)
{
    switch (dialect) {
    case Dialect::SqlServer:
        return QStringLiteral("#chongma_codes");
    case Dialect::PostgreSQL:
        return QStringLiteral("pg_temp.chongma_codes");
    case Dialect::Sqlite:
        return QStringLiteral("temp.chongma_codes");
    case Dialect::Other:
        break;
    }
    return {};
}

QString dropCodeTable(Dialect dialect)
{
    if (dialect == Dialect::SqlServer)
        return QStringLiteral("if object_id('tempdb..#chongma_codes') is not null drop table #chongma_codes");
    const QString table = codeTable(dialect);
    return table.isEmpty() ? QString() : QStringLiteral("drop table if exists %1").arg(table);
}

QString wantedCodeTable() { return QStringLiteral("temp.chongma_wanted"); }

QStringList createWantedCodeTable(Collation collation)
{
    return {dropWantedCodeTable(), createKeyedCodes(QStringLiteral("chongma_wanted"), collation)};
}

QString dropWantedCodeTable() { return QStringLiteral("drop table if exists %1").arg(wantedCodeTable()); }

QStringList createCodeTable(Dialect dialect, Collation collation, bool wantedOnly)
{
    switch (dialect) {
    case Dialect::SqlServer:
        return {dropCodeTable(dialect), QStringLiteral("select BD_MCode into #chongma_codes from BD_Material"),
                QStringLiteral("create index chongma_codes_code on #chongma_codes (BD_MCode)")};
    case Dialect::PostgreSQL:
        return {dropCodeTable(dialect),
                QStringLiteral("create temporary table chongma_codes as select BD_MCode from BD_Material"),
                QStringLiteral("create index on chongma_codes (BD_MCode)"),
                // Autovacuum never analyses a temporary table: unanalysed, every lookup read the
                // whole of it (64 ms a batch at a million codes; 1.6 ms through the index).
                QStringLiteral("analyze chongma_codes")};
    case Dialect::Sqlite:
        // One B-tree of the codes themselves, built in one pass (half the time of a table and an
        // index on it), compared as BD_MCode compares them.
        return {dropCodeTable(dialect), createKeyedCodes(QStringLiteral("chongma_codes"), collation),
                // IN compares under BD_MCode's collation, and the wanted codes' key serves it.
                QStringLiteral("insert or ignore into temp.chongma_codes select BD_MCode from BD_Material where %1")
                    .arg(wantedOnly ? QStringLiteral("BD_MCode in (select BD_MCode from %1)").arg(wantedCodeTable())
                                    : QStringLiteral("BD_MCode is not null"))};
    case Dialect::Other:
        break;
    }
    return {};
}

QString insertCodes(Dialect dialect, qsizetype codes, const QString &table)
{
    // SQLite's tables keep each code once.
    return QStringLiteral("insert %1into %2 (BD_MCode) values %3")
        .arg(dialect == Dialect::Sqlite ? QStringLiteral("or ignore ") : QString(),
             table.isEmpty() ? codeTable(dialect) : table, repeated(QStringLiteral("(?)"), codes, QStringLiteral(", ")));
}

QString preferIndexes(Dialect dialect)
{
    return dialect == Dialect::PostgreSQL ? QStringLiteral("set enable_seqscan = off") : QString();
}

QString plannerDefaults(Dialect dialect)
{
    return dialect == Dialect::PostgreSQL ? QStringLiteral("reset enable_seqscan") : QString();
}

namespace catalog {

QString columns(Dialect dialect)
{
    switch (dialect) {
    case Dialect::SqlServer:
        return QStringLiteral("select c.name as name, t.name as type, c.max_length as size, c.collation_name as collation, "
                              "c.is_identity as isIdentity from sys.columns as c inner join sys.types as t "
                              "on t.user_type_id = c.user_type_id where c.object_id = object_id(?) order by c.column_id");
    case Dialect::PostgreSQL:
        // Unquoted names are folded to lower case there.
        return QStringLiteral("select column_name as name, data_type as type, character_maximum_length as size, "
                              "collation_name as collation, case when is_identity = 'YES' or column_default like 'nextval(%' "
                              "then 1 else 0 end as isIdentity from information_schema.columns "
                              "where table_schema = current_schema() and table_name = lower(?) order by ordinal_position");
    case Dialect::Sqlite:
        return QStringLiteral("select name, type, null as size, null as collation, "
                              "case when pk = 1 and upper(type) = 'INTEGER' then 1 else 0 end as isIdentity "
                              "from pragma_table_info(?) order by cid");
    case Dialect::Other:
        break;
    }
    return {};
}

QString columnType(Dialect dialect)
{
    switch (dialect) {
    case Dialect::SqlServer:
        // The system type under an alias type.
        return QStringLiteral("select type_name(system_type_id) as type from sys.columns "
                              "where object_id = object_id(?) and name = ?");
    case Dialect::PostgreSQL:
        return QStringLiteral("select data_type as type from information_schema.columns "
                              "where table_schema = current_schema() and table_name = lower(?) and column_name = lower(?)");
    case Dialect::Sqlite:
        return QStringLiteral("select type from pragma_table_info(?) where name = ? collate nocase");
    case Dialect::Other:
        break;
    }
    return {};
}

QString indexedColumns(Dialect dialect)
{
    switch (dialect) {
    case Dialect::SqlServer:
        return QStringLiteral("select distinct c.name as name from sys.indexes as i inner join sys.index_columns as ic "
                              "on ic.object_id = i.object_id and ic.index_id = i.index_id and ic.key_ordinal = 1 "
                              "inner join sys.columns as c on c.object_id = ic.object_id and c.column_id = ic.column_id "
                              "where i.object_id = object_id(?)");
    case Dialect::PostgreSQL:
        return QStringLiteral("select distinct a.attname as name from pg_index i join pg_class t on t.oid = i.indrelid "
                              "join pg_attribute a on a.attrelid = t.oid and a.attnum = i.indkey[0] "
                              "where t.relname = lower(?) and pg_table_is_visible(t.oid)");
    case Dialect::Sqlite:
        // An INTEGER PRIMARY KEY is the table's own rowid, indexed by nature.
        return QStringLiteral("select ii.name as name from pragma_index_list(?) as il, pragma_index_info(il.name) as ii "
                              "where ii.seqno = 0 union select name from pragma_table_info(?) "
                              "where pk = 1 and upper(type) = 'INTEGER'");
    case Dialect::Other:
        break;
    }
    return {};
}

QString triggers(Dialect dialect)
{
    switch (dialect) {
    case Dialect::SqlServer:
        return QStringLiteral("select name from sys.triggers where parent_id = object_id(?)");
    case Dialect::PostgreSQL:
        return QStringLiteral("select g.tgname as name from pg_trigger g join pg_class t on t.oid = g.tgrelid "
                              "where t.relname = lower(?) and not g.tgisinternal and pg_table_is_visible(t.oid) "
                              "union all select rulename from pg_rules where tablename = lower(?) "
                              "and schemaname = current_schema()");
    case Dialect::Sqlite:
        return QStringLiteral("select name from sqlite_master where type = 'trigger' and lower(tbl_name) = lower(?)");
    case Dialect::Other:
        break;
    }
    return {};
}

} // namespace catalog

QString columnName(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    if (plain.match(name).hasMatch())
        return name;
    return u'"' + QString(name).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QStringList all()
{
    QStringList statements{probe(), openingProbe(Dialect::Sqlite), duplicateRows(), distinctBars(), rowsOfBar(), deleteRow(),
                           emptySelect(QStringLiteral("diskinfo")),
                           insertRow(QStringLiteral("diskinfo"), {QStringLiteral("DiskID"), QStringLiteral("DiskNum"),
                                                                   QStringLiteral("Bar"), QStringLiteral("Note")}),
                           identityInsert(QStringLiteral("diskinfo"), true),
                           identityInsert(QStringLiteral("diskinfo"), false), materialExists(), insertMaterial()};
    // Not sessionSettings(SqlServer): Debian's sqlfluff (1.4) does not know SET DEADLOCK_PRIORITY,
    // which is SQL Server's own documented form.
    statements += createPickTable(Dialect::SqlServer);
    statements += createCodeTable(Dialect::SqlServer);
    statements << insertCodes(Dialect::SqlServer, 3) << materialsPresent(3, codeTable(Dialect::SqlServer))
               << materialExists(codeTable(Dialect::SqlServer)) << materialRows();
    statements << rowsOfPickedBars(Dialect::SqlServer, true) << deletePicked(Dialect::SqlServer)
               << rowsOfPicks(Dialect::SqlServer, QStringLiteral("DiskID, DiskNum, Bar")) << insertPicks(Dialect::SqlServer, 3);
    statements << isIdentity(Dialect::SqlServer) << catalog::columns(Dialect::SqlServer)
               << catalog::indexedColumns(Dialect::SqlServer) << catalog::triggers(Dialect::SqlServer)
               << catalog::columnType(Dialect::SqlServer);
    for (qsizetype n : {1, 2, 3}) {
        statements << rowsOfBars(n, Dialect::SqlServer, true) << rowsOfBars(n, Dialect::SqlServer, false) << deleteRows(n)
                   << rowsById(n, QStringLiteral("DiskID, DiskNum, Bar")) << idsPresent(n)
                   << insertMaterialsPadded(Dialect::SqlServer, n) << materialsPresent(n);
    }
    return statements;
}

} // namespace chongma::sql
