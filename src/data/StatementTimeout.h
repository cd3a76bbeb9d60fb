#pragma once

#include <QSqlQuery>

namespace chongma {

// Gives a prepared QODBC statement a time limit (SQL_ATTR_QUERY_TIMEOUT, which Qt does not
// expose). Returns false when the driver refused it or the query is not an ODBC one.
bool setOdbcQueryTimeout(QSqlQuery &query, int seconds);

} // namespace chongma
