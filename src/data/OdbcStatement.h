#pragma once

#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

#include <optional>

namespace chongma {

// Gives a prepared QODBC statement a time limit (SQL_ATTR_QUERY_TIMEOUT, which Qt does not
// expose). Returns false when the driver refused it or the query is not an ODBC one.
bool setOdbcQueryTimeout(QSqlQuery &query, int seconds);

// What a statement run straight on its ODBC handle did.
struct OdbcExecResult {
    bool ok = false;
    qint64 rowsAffected = -1; // -1 when the driver cannot tell
    QSqlError error;          // when !ok
};

// Runs a prepared QODBC statement that returns no rows, its values (texts or NULLs) bound
// straight on its ODBC handle as Qt binds texts. Qt's own binding costs more than the driver
// does for statements of a few thousand values. Nothing (and nothing done) when the query is
// not an ODBC one or a value is not a text.
std::optional<OdbcExecResult> execOdbcTexts(QSqlQuery &query, const QVariantList &values);

} // namespace chongma
