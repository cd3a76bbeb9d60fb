#include "data/OdbcStatement.h"

#include <QSqlDriver>
#include <QSqlResult>
#include <QVariant>

#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace chongma {

namespace {

// QODBC hands out its statement handle as a QVariant holding an SQLHANDLE; a new handle is made
// by every prepare.
SQLHANDLE statementHandle(const QSqlQuery &query)
{
    const QVariant handle = query.result() ? query.result()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "void*") != 0)
        return nullptr;
    return *static_cast<const SQLHANDLE *>(handle.constData());
}

// The driver's words for what went wrong with the statement, as Qt gathers them.
QString diagnostics(SQLHANDLE statement)
{
    QString text;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(SQL_HANDLE_STMT, statement, record, state, &native, nullptr, 0, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        std::vector<SQLWCHAR> message(size_t(length) + 1);
        rc = SQLGetDiagRecW(SQL_HANDLE_STMT, statement, record, state, &native, message.data(),
                            SQLSMALLINT(message.size()), &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        if (!text.isEmpty())
            text += QLatin1Char(' ');
        text += QString::fromUtf16(reinterpret_cast<const char16_t *>(message.data()), qMin<qsizetype>(length, message.size() - 1));
    }
    return text;
}

} // namespace

bool setOdbcQueryTimeout(QSqlQuery &query, int seconds)
{
    // Runs after each prepare: the handle is new.
    SQLHANDLE statement = statementHandle(query);
    if (!statement)
        return false;
    const SQLRETURN rc = SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
    return SQL_SUCCEEDED(rc);
}

std::optional<OdbcExecResult> execOdbcTexts(QSqlQuery &query, const QVariantList &values)
{
    static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "texts are bound as they are held, in UTF-16");
    SQLHANDLE statement = statementHandle(query);
    if (!statement)
        return std::nullopt;
    for (const QVariant &value : values) {
        if (!value.isNull() && value.metaType().id() != QMetaType::QString)
            return std::nullopt;
    }
    // The texts stay in `values` until the execute is over; the driver reads them in place.
    std::vector<SQLLEN> lengths(size_t(values.size()));
    SQLFreeStmt(statement, SQL_CLOSE);
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    OdbcExecResult result;
    const auto fail = [&] {
        result.error = QSqlError(QStringLiteral("Unable to execute statement"), diagnostics(statement),
                                 QSqlError::StatementError);
        SQLFreeStmt(statement, SQL_RESET_PARAMS);
        return result;
    };
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        const QString *text = value.isNull() ? nullptr : static_cast<const QString *>(value.constData());
        const SQLLEN bytes = text ? SQLLEN(text->size() * sizeof(SQLWCHAR)) : 0;
        lengths[size_t(i)] = text ? bytes : SQL_NULL_DATA;
        // The types and sizes Qt gives a text, so every driver sees what it sees from Qt.
        const SQLRETURN rc = SQLBindParameter(
            statement, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, bytes > 254 ? SQL_WLONGVARCHAR : SQL_WVARCHAR, 0,
            0, text ? const_cast<ushort *>(text->utf16()) : nullptr, bytes, &lengths[size_t(i)]);
        if (!SQL_SUCCEEDED(rc))
            return fail();
    }
    const SQLRETURN rc = SQLExecute(statement);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        return fail();
    SQLLEN rows = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(statement, &rows)))
        rows = -1;
    SQLFreeStmt(statement, SQL_CLOSE);
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    result.ok = true;
    result.rowsAffected = rows;
    return result;
}

} // namespace chongma
