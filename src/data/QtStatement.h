#pragma once

#include "data/StatementPath.h"

#include <QSqlDatabase>

#include <memory>

namespace chongma {

// Qt's own statements (QSqlQuery): the path for a driver neither straight path serves.
std::unique_ptr<StatementPath> makeQtPath(const QSqlDatabase &db);

} // namespace chongma
