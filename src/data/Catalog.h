#pragma once

#include "data/StatementPath.h"
#include "data/Statements.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace chongma {

class TData1;

// What the database's catalogue says of a table, as far as the server tells.
struct ColumnFacts {
    QString name;
    QString type;      // as the server names it, with its size where it has one
    QString collation; // "" where none or not told
    bool indexed = false;  // the leading column of some index
    bool identity = false; // values the server makes itself
};

struct TableFacts {
    QString table;
    Dialect dialect = Dialect::Other;
    bool known = false; // the server's catalogue could be read for it
    QList<ColumnFacts> columns;
    QStringList triggers; // and PostgreSQL's rules
    const ColumnFacts *column(const QString &name) const; // ignoring case; nullptr when absent
};

namespace catalog {

// The catalogue's facts about `table`; `known` false where the dialect has no catalogue here
// or it could not be read. Never throws for a failed catalogue query.
TableFacts describe(TData1 &session, const QString &table);

// Whether `column` of `table` leads an index, from the catalogue's indexes alone (one query);
// nothing where the dialect has no catalogue here or it could not be read.
std::optional<bool> leadsIndex(TData1 &session, const QString &table, const QString &column);
// The columns that lead an index of `table`, as leadsIndex asks, for asking of several at once.
std::optional<QStringList> indexLeaders(TData1 &session, const QString &table);
// How a session table copying `column` of `table` must compare to compare as the column does;
// none when no such table can (a SQLite column blind to case and to blanks at the end, which no
// built-in collation is). Bytes outside SQLite: a copy there keeps the column's collation.
// Throws Error.
std::optional<sql::Collation> copyCollation(TData1 &session, const QString &table, const QString &column);
// Whether `column` of `table` holds text, so that two values compare as their texts do under
// its collation (case, width, blanks at the end) and nothing else: not so where a server turns
// the text it is given into the column's number ('0123' finds 123). True where not told.
bool comparesAsText(TData1 &session, const QString &table, const QString &column);
// What will make a job slow or unsafe on these tables: a missing index on a column a job
// matches on, triggers, an identity DiskID, a varchar under an SQL_ collation. One line each.
QStringList warnings(const TableFacts &diskinfo, const TableFacts &materials);

} // namespace catalog
} // namespace chongma
