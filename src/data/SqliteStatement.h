#pragma once

#include "data/OdbcStatement.h"

namespace chongma {

// Runs a prepared QSQLITE statement that returns no rows, its values (texts or NULLs) bound
// straight through SQLite's own API, the texts as UTF-8 (the same stored text as Qt's UTF-16).
// Qt's own binding costs about a quarter of a large import. Nothing (and nothing done) where
// Qt's SQLite driver does not run on the very SQLite library this program links (a driver with
// its own copy inside), or a value is not a text.
std::optional<StraightResult> execSqliteTexts(QSqlQuery &query, const QVariantList &values);

} // namespace chongma
