#include "data/OdbcStatement.h"

#include <QSqlDriver>
#include <QSqlResult>
#include <QVariant>

#include <algorithm>
#include <cstring>
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
SQLHANDLE statementHandle(const QSqlQuery &query) { return driverStatement(query, "void*"); }

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

void *driverStatement(const QSqlQuery &query, const char *typeName)
{
    const QVariant handle = query.result() ? query.result()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), typeName) != 0)
        return nullptr;
    return *static_cast<void *const *>(handle.constData());
}

bool onlyTexts(const QVariantList &values)
{
    return std::all_of(values.begin(), values.end(), [](const QVariant &value) {
        return value.isNull() || value.metaType().id() == QMetaType::QString;
    });
}

struct OdbcTexts::Value {
    std::vector<SQLWCHAR> buffer;
    SQLLEN length = 0;
    SQLSMALLINT type = 0; // as bound; 0 when the buffer is not bound (yet, or since it grew)
};

OdbcTexts::OdbcTexts() = default;
OdbcTexts::~OdbcTexts() = default;

void OdbcTexts::forget() { m_statement = nullptr; }

bool OdbcTexts::bind(void *statement, const QVariantList &values)
{
    static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "texts are copied as they are held, in UTF-16");
    if (statement != m_statement || size_t(values.size()) != m_values.size()) {
        m_values = std::vector<Value>(size_t(values.size()));
        m_statement = statement;
    }
    // From the last: drivers that grow their parameter list to the highest number bound so far
    // (psqlODBC) grow it once, not once a parameter.
    for (qsizetype i = values.size() - 1; i >= 0; --i) {
        Value &v = m_values[size_t(i)];
        const QVariant &value = values.at(i);
        const QString *text = value.isNull() ? nullptr : static_cast<const QString *>(value.constData());
        const size_t units = text ? size_t(text->size()) : 0;
        if (units > v.buffer.size() || v.buffer.empty()) { // never bound without a buffer, even for NULL
            v.buffer.resize(std::max<size_t>({units, 2 * v.buffer.size(), 16}));
            v.type = 0;
        }
        if (units > 0)
            std::memcpy(v.buffer.data(), text->utf16(), units * sizeof(SQLWCHAR));
        const SQLLEN bytes = SQLLEN(units * sizeof(SQLWCHAR));
        v.length = text ? bytes : SQL_NULL_DATA;
        // The types Qt gives a text, so every driver sees what it sees from Qt.
        const SQLSMALLINT type = bytes > 254 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
        if (v.type == type)
            continue;
        v.type = 0;
        const SQLRETURN rc = SQLBindParameter(statement, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, type, 0, 0,
                                              v.buffer.data(), SQLLEN(v.buffer.size() * sizeof(SQLWCHAR)), &v.length);
        if (!SQL_SUCCEEDED(rc))
            return false;
        v.type = type;
    }
    return true;
}

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

std::optional<StraightResult> execOdbcTexts(QSqlQuery &query, const QVariantList &values, OdbcTexts &texts)
{
    SQLHANDLE statement = statementHandle(query);
    if (!statement || !onlyTexts(values))
        return std::nullopt;
    SQLFreeStmt(statement, SQL_CLOSE);
    StraightResult result;
    const auto fail = [&] {
        result.error = QSqlError(QStringLiteral("Unable to execute statement"), diagnostics(statement),
                                 QSqlError::StatementError);
        return result;
    };
    if (!texts.bind(statement, values))
        return fail();
    const SQLRETURN rc = SQLExecute(statement);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        return fail();
    SQLLEN rows = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(statement, &rows)))
        rows = -1;
    SQLFreeStmt(statement, SQL_CLOSE);
    result.ok = true;
    result.rowsAffected = rows;
    return result;
}

// One column's bound buffers: a value of each row of a block, and its length or NULL.
struct OdbcColumn {
    SQLSMALLINT cType = 0;
    SQLLEN width = 0; // bytes a value
    // Left unfilled: pages a short result never reaches are never touched.
    std::unique_ptr<char[]> data;
    std::vector<SQLLEN> lengths;
};

struct OdbcRows::State {
    static constexpr SQLULEN kBlock = 512;
    SQLHANDLE statement = nullptr;
    QStringList names;
    std::vector<OdbcColumn> columns;
    SQLULEN fetched = 0;
    std::vector<SQLUSMALLINT> status = std::vector<SQLUSMALLINT>(kBlock);
    QSqlError error;
    bool arraySet = false; // the handle fetches blocks now
    bool open = false;     // a cursor is open on it

    void fail(const QString &what)
    {
        error = QSqlError(what, diagnostics(statement), QSqlError::StatementError);
    }
};

namespace {

// How a column of this ODBC type is fetched, as the kind of value Qt makes of it; false for
// kinds left to Qt.
bool chooseBuffer(SQLSMALLINT type, SQLULEN size, OdbcColumn &column)
{
    switch (type) {
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
        column.cType = SQL_C_SLONG;
        column.width = sizeof(SQLINTEGER);
        return true;
    case SQL_BIGINT:
        column.cType = SQL_C_SBIGINT;
        column.width = sizeof(SQLBIGINT);
        return true;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
        column.cType = SQL_C_DOUBLE;
        column.width = sizeof(SQLDOUBLE);
        return true;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
        // Room for every character as a surrogate pair, and the terminator; at least 4 096
        // characters, for drivers that give a column without a limit a size of their own.
        if (size == 0 || size > 4096)
            return false;
        column.cType = SQL_C_WCHAR;
        column.width = SQLLEN((qMax<SQLULEN>(2 * size, 4096) + 1) * sizeof(SQLWCHAR));
        return true;
    default:
        return false;
    }
}

} // namespace

OdbcRows::OdbcRows() = default;

OdbcRows::~OdbcRows()
{
    if (d && d->arraySet) {
        // Back to one row a fetch and nothing bound: Qt fetches on this handle too.
        if (d->open)
            SQLCloseCursor(d->statement);
        SQLFreeStmt(d->statement, SQL_UNBIND);
        SQLSetStmtAttr(d->statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(1)), 0);
        SQLSetStmtAttr(d->statement, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
        SQLSetStmtAttr(d->statement, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
    }
}

OdbcRows::Opened OdbcRows::open(QSqlQuery &query, const QVariantList &values, OdbcTexts &texts)
{
    d = std::make_unique<State>();
    d->statement = statementHandle(query);
    if (!d->statement || !onlyTexts(values))
        return Opened::NotRun;
    SQLFreeStmt(d->statement, SQL_CLOSE);
    // A driver without block cursors is left to Qt before anything runs. One that fetches
    // fewer rows a block than asked says how many it did.
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(d->statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(State::kBlock), 0)))
        return Opened::NotRun;
    d->arraySet = true;
    if (!texts.bind(d->statement, values)) {
        d->fail(QStringLiteral("Unable to bind the values"));
        return Opened::Failed;
    }
    const SQLRETURN rc = SQLExecute(d->statement);
    if (!SQL_SUCCEEDED(rc)) {
        d->fail(QStringLiteral("Unable to execute statement"));
        return Opened::Failed;
    }
    d->open = true;
    SQLSMALLINT count = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(d->statement, &count)) || count <= 0) {
        d->fail(QStringLiteral("The statement returned no result set"));
        return Opened::Failed;
    }
    d->columns.resize(size_t(count));
    for (SQLSMALLINT i = 0; i < count; ++i) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        if (!SQL_SUCCEEDED(SQLDescribeColW(d->statement, SQLUSMALLINT(i + 1), name, 256, &nameLength, &type, &size,
                                           &digits, &nullable))) {
            d->fail(QStringLiteral("Unable to describe the result"));
            return Opened::Failed;
        }
        d->names << QString::fromUtf16(reinterpret_cast<const char16_t *>(name), qMin<qsizetype>(nameLength, 255));
        if (!chooseBuffer(type, size, d->columns[size_t(i)]))
            return Opened::Unsupported;
    }
    SQLSetStmtAttr(d->statement, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_BIND_BY_COLUMN)), 0);
    SQLSetStmtAttr(d->statement, SQL_ATTR_ROWS_FETCHED_PTR, &d->fetched, 0);
    SQLSetStmtAttr(d->statement, SQL_ATTR_ROW_STATUS_PTR, d->status.data(), 0);
    for (size_t i = 0; i < d->columns.size(); ++i) {
        OdbcColumn &column = d->columns[i];
        column.data.reset(new char[size_t(column.width) * State::kBlock]);
        column.lengths.resize(State::kBlock);
        if (!SQL_SUCCEEDED(SQLBindCol(d->statement, SQLUSMALLINT(i + 1), column.cType, column.data.get(), column.width,
                                      column.lengths.data()))) {
            d->fail(QStringLiteral("Unable to bind the result"));
            return Opened::Failed;
        }
    }
    return Opened::Yes;
}

QStringList OdbcRows::columns() const { return d->names; }

qsizetype OdbcRows::rows() const { return qsizetype(d->fetched); }

QSqlError OdbcRows::error() const { return d->error; }

bool OdbcRows::fetch()
{
    d->fetched = 0;
    const SQLRETURN rc = SQLFetch(d->statement);
    if (rc == SQL_NO_DATA)
        return false;
    if (!SQL_SUCCEEDED(rc)) {
        d->fail(QStringLiteral("Unable to fetch row"));
        return false;
    }
    for (SQLULEN row = 0; row < d->fetched; ++row) {
        if (d->status[row] == SQL_ROW_ERROR) {
            d->fail(QStringLiteral("Unable to fetch row"));
            return false;
        }
    }
    // A text longer than its buffer was cut: never hand it on as the value.
    for (const OdbcColumn &column : d->columns) {
        if (column.cType != SQL_C_WCHAR)
            continue;
        for (SQLULEN row = 0; row < d->fetched; ++row) {
            const SQLLEN length = column.lengths[row];
            if (length == SQL_NO_TOTAL || length > column.width - SQLLEN(sizeof(SQLWCHAR))) {
                d->error = QSqlError(QStringLiteral("Unable to fetch row"), QStringLiteral("a text is longer than its column"),
                                     QSqlError::StatementError);
                return false;
            }
        }
    }
    return d->fetched > 0;
}

bool OdbcRows::isNull(qsizetype row, int column) const
{
    return d->columns[size_t(column)].lengths[size_t(row)] == SQL_NULL_DATA;
}

QVariant OdbcRows::value(qsizetype row, int column) const
{
    const OdbcColumn &c = d->columns[size_t(column)];
    if (c.lengths[size_t(row)] == SQL_NULL_DATA)
        return QVariant();
    const char *at = c.data.get() + size_t(row) * size_t(c.width);
    switch (c.cType) {
    case SQL_C_SLONG: {
        SQLINTEGER v;
        std::memcpy(&v, at, sizeof v);
        return QVariant(int(v));
    }
    case SQL_C_SBIGINT: {
        SQLBIGINT v;
        std::memcpy(&v, at, sizeof v);
        return QVariant(qlonglong(v));
    }
    case SQL_C_DOUBLE: {
        SQLDOUBLE v;
        std::memcpy(&v, at, sizeof v);
        return QVariant(double(v));
    }
    default:
        return QVariant(QString::fromUtf16(reinterpret_cast<const char16_t *>(at),
                                           qsizetype(c.lengths[size_t(row)]) / qsizetype(sizeof(SQLWCHAR))));
    }
}

} // namespace chongma
