#pragma once

#include "data/StatementPath.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <limits>

// Every statement text the program sends, in one place. Values are always bound (`?`); the
// batch forms stay within SQL Server's limits of 2 100 parameters a statement and 1 000 rows
// a values list.
namespace chongma::sql {

// Rows per batch statement.
inline constexpr qsizetype kDeleteBatch = 1024;    // two parameters a row
inline constexpr qsizetype kIdsPerSelect = 2048;   // one parameter an id
inline constexpr qsizetype kInsertBatch = 349;     // six parameters a row: 2 094
inline constexpr qsizetype kCodesPerSelect = 6 * kInsertBatch; // one parameter a code: a batch's in one

// The size an IN list of n values is sent at: the next power of two, so a long job sends a few
// statement texts, each prepared once, whatever its batches hold. `values` is filled up to it
// with its last value, which an IN list does not mind.
qsizetype paddedSize(qsizetype n, qsizetype most = std::numeric_limits<qsizetype>::max());
void padList(QList<QVariant> &values, qsizetype size);

// Values from..from+n of `all`, padded as above, for an IN list of paddedSize(n, most) places.
template <class T>
QList<QVariant> inList(const QList<T> &all, qsizetype from, qsizetype n,
                       qsizetype most = std::numeric_limits<qsizetype>::max())
{
    QList<QVariant> values;
    values.reserve(paddedSize(n, most));
    for (qsizetype i = 0; i < n; ++i)
        values.append(QVariant::fromValue(all.at(from + i)));
    padList(values, paddedSize(n, most));
    return values;
}

// Proves an open connection answers.
QString probe();
// The first statement of a session: proves the connection answers and, where that matters
// (SQLite), that the file is a database.
QString openingProbe(Dialect dialect);
// Settings that last for the session, run once it opened; `commandTimeout` the time limit of a
// statement in seconds (0: none), where the server keeps it.
QStringList sessionSettings(Dialect dialect, int commandTimeout);

// How a SQLite session table's column compares, where it copies one of diskinfo or BD_Material
// (a table made from a select would compare bytewise).
enum class Collation { Bytes, CaseBlind, BlankBlind };
// How SQLite's `column` of `table` compares, as `caseBlind` and `blankBlind` (1 for "a" = "A",
// and for "a" = "a  "); reads no row.
QString comparison(const QString &table, const QString &column);

// ---- diskinfo --------------------------------------------------------------------------
// Every row of every duplicated barcode, each with its barcode's number of rows: one grouped
// statement finds the groups, and only their rows are read.
// `fromTable`: the barcodes are read from the table createDuplicateTable made.
QString duplicateRows(bool fromTable = false);
// A table of the session holding the duplicated barcodes, indexed, where the server's own
// list of them would be slow to probe (SQLite, without an index on Bar); none elsewhere.
QStringList createDuplicateTable(Dialect dialect, Collation collation = Collation::Bytes);
QString dropDuplicateTable(Dialect dialect);
// The per-barcode search, kept as the reference the grouped one is checked against.
QString distinctBars();
QString rowsOfBar();
QString deleteRow();       // DiskID=? and Bar=?
QString deleteRows(qsizetype rows);       // delete ... where DiskID in (ids) and Bar in (bars)
// DiskID, Bar of every row of these barcodes, as the server compares them. `locked`: held until
// the transaction ends, against changes by others (and, on SQL Server, rows added to them).
QString rowsOfBars(qsizetype bars, Dialect dialect, bool locked);
// The columns (a select list) of whole rows as a backup reads them: every value as the server
// holds it (PostgreSQL's dates and times as its own text, which its ODBC driver would not give
// for infinity).
QString backupColumns(const QList<ColumnInfo> &columns, Dialect dialect);
QString rowsById(qsizetype ids, const QString &selectList); // select <list> ... where DiskID in (?, ...)
QString idsPresent(qsizetype ids);        // select DiskID, Bar ... where DiskID in (?, ...)
QString emptySelect(const QString &table); // select * ... where 1=0: the columns
QString insertRow(const QString &table, const QStringList &columns);
QString identityInsert(const QString &table, bool on);
// One row, isIdentity 1 when the column (table and column bound) is one whose values the server
// makes; "" where the dialect has no such check.
QString isIdentity(Dialect dialect);

// The picks of a removal in a temporary table of the session, loaded once, so that a batch's
// statements name it instead of binding its ids and barcodes: a batch is then as large as the
// table needs (few of them, where a column has no index, so the table is read few times). The
// table is Batch, DiskID and Bar, its Bar of diskinfo's own type and collation; a batch is the
// picks of the chunks `between ? and ?`. "" where the dialect has no temporary tables here.
inline constexpr qsizetype kPicksPerChunk = 1000; // a values list holds at most 1 000 rows
QStringList createPickTable(Dialect dialect);      // dropped first, if there
QString dropPickTable(Dialect dialect);
QString insertPicks(Dialect dialect, qsizetype picks); // Batch, then DiskID and Bar of each pick
QString analyzePickTable(Dialect dialect);             // for large batches; "" where not needed
QString rowsOfPickedBars(Dialect dialect, bool locked); // as rowsOfBars, for the batch's barcodes
QString deletePicked(Dialect dialect);                  // rows of the batch's ids among its barcodes
QString rowsOfPicks(Dialect dialect, const QString &selectList); // every picked id's rows, for the backup

// ---- BD_Material -------------------------------------------------------------------------
// `codes`: where the stored codes are looked up, BD_Material or the code table below.
QString materialExists(const QString &codes = QStringLiteral("BD_Material"));
QString materialRows(); // how many rows BD_Material holds, as `n`
QString insertMaterial();
// Rows of the six columns, a row whose code is NULL left out: the last statement of a batch is
// filled up with such rows, so every statement of an import has one size and one text.
QString insertMaterialsPadded(Dialect dialect, qsizetype rows);
// The stored codes that match any of the codes bound, as the database compares them.
QString materialsPresent(qsizetype codes, const QString &table = QStringLiteral("BD_Material"));

// BD_Material's codes copied once into an indexed temporary table of the session, for an import
// where BD_MCode has no index: each batch's lookup would otherwise read the whole table. Made
// from BD_Material itself, so its codes compare as there (type and collation; SQLite's copy is
// declared with the collation catalog::copyCollation() tells). The import adds the codes it inserts.
QString codeTable(Dialect dialect); // "" where the dialect has no temporary tables here
// Dropped first, if there; on SQLite its codes compare as `collation` says. `wantedOnly`
// (SQLite): only the stored codes that match one in the wanted code table below.
QStringList createCodeTable(Dialect dialect, Collation collation = Collation::Bytes, bool wantedOnly = false);
QString dropCodeTable(Dialect dialect);
// Into the code table, or into `table`.
QString insertCodes(Dialect dialect, qsizetype codes, const QString &table = {});
// SQLite: the codes an import's lines carry, keyed and compared as `collation` says, where a few
// lines go into a large table: the code table then copies only the stored codes they can meet.
QString wantedCodeTable();
QStringList createWantedCodeTable(Collation collation); // dropped first, if there
QString dropWantedCodeTable();
// PostgreSQL only (empty elsewhere): a session's plans take an index wherever one serves, and
// back to the session's own setting.
QString preferIndexes(Dialect dialect);
QString plannerDefaults(Dialect dialect);

// ---- the catalogue, for check's account of a database --------------------------------------
// Each takes the table's name bound; "" where the dialect has no such statement.
namespace catalog {
QString columns(Dialect dialect);       // name, type, size, collation, isIdentity; in column order
QString indexedColumns(Dialect dialect); // name: the leading column of an index
// type: the base type a column is declared with (SQLite: as declared); binds the table's name,
// then the column's.
QString columnType(Dialect dialect);
QString triggers(Dialect dialect);       // name: triggers (and PostgreSQL's rules) on the table
} // namespace catalog

// A column name as it may stand in a statement: quoted unless it is a plain identifier.
QString columnName(const QString &name);

// Every statement above, the batch forms at a few sizes, for checks of their syntax.
QStringList all();

} // namespace chongma::sql
