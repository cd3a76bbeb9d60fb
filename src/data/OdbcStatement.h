#pragma once

#include "data/StatementPath.h"

#include <memory>

class QSqlDatabase;

namespace chongma {

// The ODBC path: statements on handles of its own, on the connection Qt's QODBC driver opened
// (so Qt's transactions hold them), every value bound with a declaration that does not depend
// on the value, and results fetched a block of rows at a time into bound buffers.
//
// Texts are declared as 4 000 characters (nvarchar(4000)) and, beyond that, in the driver's
// unlimited long form: FreeTDS declares a text bound with a size of 0 from the value of the
// execution that prepares it and keeps that declaration for later executions, so a longer
// value would be cut. A statement's declarations stay the same from one execution to the next,
// so the server keeps one plan. Nothing (nullptr) when `db` is not a QODBC connection.
std::unique_ptr<StatementPath> makeOdbcPath(const QSqlDatabase &db, int commandTimeout);

} // namespace chongma
