#pragma once

#include "data/StatementPath.h"

#include <memory>

class QSqlDatabase;

namespace chongma {

// The SQLite path: statements prepared, bound and stepped through SQLite's own API on the
// connection Qt's QSQLITE driver opened, each value keeping its own type (SQLite stores an
// integer, a real, a text or a blob in any column). Qt's own binding and fetching cost about a
// quarter of a large import and more than SQLite does on a search. Transactions are begun
// IMMEDIATE: every one of ours writes, and a deferred one that reads first cannot wait for
// another writer's lock. Nothing (nullptr) where Qt's driver does not run on the very SQLite
// library this program links (a plugin with its own copy inside): a handle may only go to the
// library that made it.
std::unique_ptr<StatementPath> makeSqlitePath(const QSqlDatabase &db);

} // namespace chongma
