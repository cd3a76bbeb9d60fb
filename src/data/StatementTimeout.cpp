#include "data/StatementTimeout.h"

#include <QSqlDriver>
#include <QSqlResult>
#include <QVariant>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace chongma {

bool setOdbcQueryTimeout(QSqlQuery &query, int seconds)
{
    // QODBC hands out its statement handle as a QVariant holding an SQLHANDLE; a new handle is
    // made by every prepare, so this runs after each one.
    const QVariant handle = query.result() ? query.result()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "void*") != 0)
        return false;
    SQLHANDLE statement = *static_cast<const SQLHANDLE *>(handle.constData());
    if (!statement)
        return false;
    const SQLRETURN rc = SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
    return SQL_SUCCEEDED(rc);
}

} // namespace chongma
