#pragma once

#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

#include <memory>
#include <optional>
#include <vector>

namespace chongma {

// The statement handle Qt's driver holds for `query`, when Qt names its type `typeName`
// ("void*" for QODBC's SQLHSTMT, "sqlite3_stmt*" for QSQLITE's); nullptr otherwise.
void *driverStatement(const QSqlQuery &query, const char *typeName);

// Gives a prepared QODBC statement a time limit (SQL_ATTR_QUERY_TIMEOUT, which Qt does not
// expose). Returns false when the driver refused it or the query is not an ODBC one.
bool setOdbcQueryTimeout(QSqlQuery &query, int seconds);

// What a statement run straight through the driver's own API did.
struct StraightResult {
    bool ok = false;
    qint64 rowsAffected = -1; // -1 when the driver cannot tell
    QSqlError error;          // when !ok
};

// Whether every value is a text or NULL: what the straight runs bind.
bool onlyTexts(const QVariantList &values);

// The texts of one prepared QODBC statement, bound on its handle once and copied into their
// buffers before each run: a driver spends more on binding a value than on reading it. A value
// is bound again only when its buffer must grow or its type changes.
class OdbcTexts {
public:
    OdbcTexts();
    ~OdbcTexts();
    OdbcTexts(const OdbcTexts &) = delete;
    OdbcTexts &operator=(const OdbcTexts &) = delete;

    // `values` (texts or NULLs) in place on `statement` (an SQLHSTMT); false when the driver
    // refused a binding.
    bool bind(void *statement, const QVariantList &values);
    // Something else bound values on the handle: everything is bound again next time.
    void forget();

private:
    struct Value;
    void *m_statement = nullptr;
    std::vector<Value> m_values;
};

// Runs a prepared QODBC statement that returns no rows, its values (texts or NULLs) bound
// straight on its ODBC handle as Qt binds texts. Qt's own binding costs more than the driver
// does for statements of a few thousand values. Nothing (and nothing done) when the query is
// not an ODBC one or a value is not a text.
std::optional<StraightResult> execOdbcTexts(QSqlQuery &query, const QVariantList &values, OdbcTexts &texts);

// The rows of a select, fetched straight from the ODBC handle of a prepared QODBC statement a
// block at a time into bound buffers: Qt asks the driver for every value of every row on its
// own, which costs more than the server on results of many rows. Values come as Qt gives them
// (whole numbers as int or qlonglong, other numbers as double, texts as QString, NULL invalid).
class OdbcRows {
public:
    enum class Opened { Yes, NotRun, Unsupported, Failed };
    // Executes `query` (prepared) with `values` (texts or NULLs) bound through `texts`. NotRun:
    // not an ODBC query, a value that is not a text, or a driver that fetches one row at a time.
    // Unsupported: a column is of a kind this does not fetch (long texts, dates, binary); the
    // statement has run, and its cursor is closed once this is gone. After either the caller
    // runs the statement through Qt. Failed: see error().
    Opened open(QSqlQuery &query, const QVariantList &values, OdbcTexts &texts);
    OdbcRows();
    ~OdbcRows();
    OdbcRows(const OdbcRows &) = delete;
    OdbcRows &operator=(const OdbcRows &) = delete;

    QStringList columns() const;
    // The next block; false at the end or on failure (error() is then valid).
    bool fetch();
    qsizetype rows() const;
    bool isNull(qsizetype row, int column) const;
    QVariant value(qsizetype row, int column) const;
    QSqlError error() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace chongma
