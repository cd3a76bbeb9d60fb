#include "data/OdbcStatement.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace chongma {

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "texts are copied as they are held, in UTF-16");

// SQL Server's own ODBC types, which <sqlext.h> does not name.
constexpr SQLSMALLINT kSsTime2 = -154;
constexpr SQLSMALLINT kSsTimestampOffset = -155;

// Characters a text is declared with (nvarchar(4000), SQL Server's longest bounded form);
// longer texts go in the driver's long form.
constexpr SQLULEN kTextDeclared = 4000;
constexpr SQLULEN kBinaryDeclared = 8000;
constexpr SQLULEN kBlock = 512; // rows a fetch

const char16_t *utf16(const SQLWCHAR *text) { return reinterpret_cast<const char16_t *>(text); }

// The driver's words for what went wrong, as Qt gathers them.
QString diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    QString text;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &native, nullptr, 0, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        std::vector<SQLWCHAR> message(size_t(length) + 1);
        rc = SQLGetDiagRecW(type, handle, record, state, &native, message.data(), SQLSMALLINT(message.size()), &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        if (!text.isEmpty())
            text += QLatin1Char(' ');
        text += QString::fromUtf16(utf16(message.data()), qMin<qsizetype>(length, qsizetype(message.size()) - 1));
    }
    return text;
}

QSqlError statementError(const QString &what, SQLHANDLE statement)
{
    return QSqlError(what, diagnostics(SQL_HANDLE_STMT, statement), QSqlError::StatementError);
}

QString infoText(SQLHDBC connection, SQLUSMALLINT what)
{
    SQLWCHAR text[256] = {};
    SQLSMALLINT bytes = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(connection, what, text, SQLSMALLINT(sizeof text), &bytes)))
        return {};
    return QString::fromUtf16(utf16(text), qMin<qsizetype>(bytes / qsizetype(sizeof(SQLWCHAR)), 255));
}

// How a driver is asked for a text or binary value beyond the bounded declarations.
struct LongForms {
    SQLSMALLINT text = SQL_WLONGVARCHAR;
    SQLSMALLINT binary = SQL_LONGVARBINARY;
};

LongForms longFormsOf(const QString &driverName)
{
    // Microsoft's drivers read a size of 0 as unlimited (nvarchar(max)) and the long types as
    // the old ntext and image, which cannot be compared; FreeTDS (TDS 7.2 on) and the others
    // take the long types as the unlimited forms.
    const QString name = driverName.toLower();
    if (name.contains(QLatin1String("msodbcsql")) || name.contains(QLatin1String("sqlncli")))
        return {SQL_WVARCHAR, SQL_VARBINARY};
    return {};
}

Dialect dialectOf(const QString &dbmsName)
{
    if (dbmsName.contains(QLatin1String("SQL Server"), Qt::CaseInsensitive))
        return Dialect::SqlServer;
    if (dbmsName.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
        return Dialect::PostgreSQL;
    if (dbmsName.contains(QLatin1String("SQLite"), Qt::CaseInsensitive))
        return Dialect::Sqlite;
    return Dialect::Other;
}

class OdbcPath;

// One prepared statement and its result.
class OdbcStatement final : public Statement {
public:
    OdbcStatement(OdbcPath &path, SQLHSTMT statement);
    ~OdbcStatement() override;
    OdbcStatement(const OdbcStatement &) = delete;
    OdbcStatement &operator=(const OdbcStatement &) = delete;

    bool execute(const QVariantList &values) override;
    qint64 rowsAffected() const override { return m_rowsAffected; }
    QSqlError error() const override { return m_error; }
    QList<ColumnInfo> columns() const override;
    bool next() override;
    bool isNull(int column) const override;
    ValueKind kind(int column) const override;
    QVariant value(int column) const override;
    bool close(bool readToEnd) override;
    bool executeMany(const QList<QVariantList> &sets) override;
    bool executeBatch(const QVariantList &values) override;
    bool nextResult() override;
    std::vector<ParameterDeclaration> declarations() const override;

private:
    struct Parameter {
        SQLSMALLINT cType = 0;
        SQLSMALLINT sqlType = 0;
        SQLULEN size = 0;
        void *boundAt = nullptr;
        SQLLEN capacity = 0;
        bool bound = false;
        std::vector<SQLWCHAR> text;
        QByteArray bytes;
        SQLBIGINT integer = 0;
        SQLDOUBLE real = 0;
        unsigned char bit = 0;
        SQLLEN length = 0;
    };
    // One result column: a block of values in bound buffers, or read value by value.
    struct Column {
        QString name;
        ValueKind kind = ValueKind::Other;
        SQLSMALLINT cType = 0;
        SQLLEN width = 0; // bytes a value; 0 for a column read with SQLGetData
        std::unique_ptr<char[]> data;
        std::vector<SQLLEN> lengths;
    };

    // The values of several sets bound as arrays, a column of elements a parameter: texts (or
    // NULLs), or whole numbers; bindArrays is false for sets of other values.
    struct TextArray {
        std::vector<SQLWCHAR> data; // `units` characters an element
        std::vector<SQLBIGINT> integers;
        std::vector<SQLLEN> lengths;
        size_t units = 0;
        SQLSMALLINT sqlType = 0;
    };
    bool bindArrays(const QList<QVariantList> &sets);
    bool bindIntegerArray(const QList<QVariantList> &sets, qsizetype column, int type);
    bool bindTextArray(const QList<QVariantList> &sets, qsizetype column);
    bool setParamSets(SQLULEN sets);
    bool bind(const QVariantList &values);
    bool bindOne(SQLUSMALLINT number, Parameter &p, const QVariant &value);
    bool describe(SQLSMALLINT count);
    bool setBlock(SQLULEN rows);
    bool start(const QVariantList &values);
    bool fetchBlock();
    bool endOfRows();
    bool readRow();
    bool readLong(int column, SQLSMALLINT cType, QVariant &value);
    bool drainResults();
    bool fail(const QString &what);
    void endCursor();

    OdbcPath &m_path;
    SQLHSTMT m_statement;
    std::vector<Parameter> m_parameters;
    std::vector<TextArray> m_arrays; // bound while several sets are run at once
    SQLULEN m_paramSets = 1;
    std::vector<SQLUSMALLINT> m_setStatus;
    QSqlError m_error;
    qint64 m_rowsAffected = -1;

    std::vector<Column> m_columns;
    bool m_open = false;
    bool m_batch = false;        // running a batch of statements: a result's end is not the batch's
    bool m_pending = false;      // in a batch, results may follow the one read to its end
    bool m_valueByValue = false; // a column is read with SQLGetData: one row a fetch
    SQLULEN m_blockRows = 1;     // as set on the handle
    SQLULEN m_fetched = 0;
    SQLULEN m_at = 0;
    std::vector<SQLUSMALLINT> m_status = std::vector<SQLUSMALLINT>(kBlock);
    std::vector<QVariant> m_row; // the row read value by value
};

class OdbcPath final : public StatementPath {
public:
    OdbcPath(SQLHDBC connection, int commandTimeout)
        : m_connection(connection), m_dialect(dialectOf(infoText(connection, SQL_DBMS_NAME))),
          // psqlODBC keeps a statement's time limit by setting the server's statement_timeout
          // before every execution and clearing it after, two round trips each: there the limit
          // is a setting of the session (sql::sessionSettings).
          m_timeout(m_dialect == Dialect::PostgreSQL ? 0 : commandTimeout),
          m_longForms(longFormsOf(infoText(connection, SQL_DRIVER_NAME)))
    {
    }
    QString name() const override { return QStringLiteral("odbc"); }
    Dialect dialect() const override { return m_dialect; }
    const LongForms &longForms() const { return m_longForms; }

    std::unique_ptr<Statement> prepare(const QString &sql, QSqlError &error) override
    {
        SQLHSTMT statement = allocate(error);
        if (!statement)
            return nullptr;
        const std::u16string text = sql.toStdU16String();
        if (!SQL_SUCCEEDED(SQLPrepareW(statement, reinterpret_cast<SQLWCHAR *>(const_cast<char16_t *>(text.c_str())),
                                       SQLINTEGER(text.size())))) {
            error = statementError(QStringLiteral("Unable to prepare statement"), statement);
            SQLFreeHandle(SQL_HANDLE_STMT, statement);
            return nullptr;
        }
        return std::make_unique<OdbcStatement>(*this, statement);
    }

    bool runsBatches() const override { return true; }
    // ODBC's SQLDisconnect frees every statement still allocated on the connection.
    bool leaveStatementsToDisconnect() override
    {
        m_statementsLeft = true;
        return true;
    }
    bool statementsLeft() const { return m_statementsLeft; }
    bool execDirect(const QString &sql, QSqlError &error) override
    {
        SQLHSTMT statement = allocate(error);
        if (!statement)
            return false;
        countExecution();
        const std::u16string text = sql.toStdU16String();
        SQLRETURN rc = SQLExecDirectW(statement, reinterpret_cast<SQLWCHAR *>(const_cast<char16_t *>(text.c_str())),
                                      SQLINTEGER(text.size()));
        // Every result to its end: an error may come with a later one.
        while (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) {
            SQLSMALLINT columns = 0;
            if (SQL_SUCCEEDED(rc) && SQL_SUCCEEDED(SQLNumResultCols(statement, &columns)) && columns > 0) {
                while (SQL_SUCCEEDED(rc = SQLFetch(statement))) {
                }
                if (rc != SQL_NO_DATA)
                    break;
            }
            rc = SQLMoreResults(statement);
            if (rc == SQL_NO_DATA) {
                SQLFreeHandle(SQL_HANDLE_STMT, statement);
                return true;
            }
        }
        error = statementError(QStringLiteral("Unable to execute statement"), statement);
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
        return false;
    }

    // Qt's QODBC keeps no state of its own about transactions: they are the connection's.
    bool begin(QSqlError &error) override
    {
        return connectionCall(SQLSetConnectAttr(m_connection, SQL_ATTR_AUTOCOMMIT,
                                                reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_AUTOCOMMIT_OFF)), 0),
                              QStringLiteral("Unable to begin transaction"), error);
    }
    bool commit(QSqlError &error) override { return end(SQL_COMMIT, QStringLiteral("Unable to commit transaction"), error); }
    bool rollback(QSqlError &error) override
    {
        return end(SQL_ROLLBACK, QStringLiteral("Unable to rollback transaction"), error);
    }

private:
    bool connectionCall(SQLRETURN rc, const QString &what, QSqlError &error)
    {
        if (SQL_SUCCEEDED(rc))
            return true;
        error = QSqlError(what, diagnostics(SQL_HANDLE_DBC, m_connection), QSqlError::TransactionError);
        return false;
    }
    bool end(SQLSMALLINT completion, const QString &what, QSqlError &error)
    {
        if (!connectionCall(SQLEndTran(SQL_HANDLE_DBC, m_connection, completion), what, error))
            return false;
        return connectionCall(SQLSetConnectAttr(m_connection, SQL_ATTR_AUTOCOMMIT,
                                                reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_AUTOCOMMIT_ON)), 0),
                              what, error);
    }

    SQLHSTMT allocate(QSqlError &error)
    {
        SQLHSTMT statement = nullptr;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &statement))) {
            error = QSqlError(QStringLiteral("Unable to allocate a statement"), diagnostics(SQL_HANDLE_DBC, m_connection),
                              QSqlError::StatementError);
            return nullptr;
        }
        if (m_timeout > 0)
            SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_timeout)), 0);
        return statement;
    }

    SQLHDBC m_connection;
    bool m_statementsLeft = false;
    Dialect m_dialect;
    int m_timeout;
    LongForms m_longForms;
};

OdbcStatement::~OdbcStatement()
{
    if (!m_path.statementsLeft())
        SQLFreeHandle(SQL_HANDLE_STMT, m_statement);
}

OdbcStatement::OdbcStatement(OdbcPath &path, SQLHSTMT statement) : m_path(path), m_statement(statement)
{
    SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_BIND_BY_COLUMN)), 0);
    SQLSetStmtAttr(m_statement, SQL_ATTR_ROWS_FETCHED_PTR, &m_fetched, 0);
    SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_STATUS_PTR, m_status.data(), 0);
}

bool OdbcStatement::fail(const QString &what)
{
    m_error = statementError(what, m_statement);
    endCursor();
    return false;
}

void OdbcStatement::endCursor()
{
    if (m_open || m_pending)
        SQLFreeStmt(m_statement, SQL_CLOSE);
    m_open = false;
    m_pending = false;
    m_fetched = 0;
    m_at = 0;
}

bool OdbcStatement::bind(const QVariantList &values)
{
    if (size_t(values.size()) != m_parameters.size()) {
        SQLFreeStmt(m_statement, SQL_RESET_PARAMS);
        m_parameters = std::vector<Parameter>(size_t(values.size()));
    }
    // From the last: drivers that grow their parameter list to the highest number bound so far
    // (psqlODBC) grow it once, not once a parameter.
    for (qsizetype i = values.size() - 1; i >= 0; --i) {
        if (!bindOne(SQLUSMALLINT(i + 1), m_parameters[size_t(i)], values.at(i)))
            return fail(QStringLiteral("Unable to bind the values"));
    }
    return true;
}

// One case a kind of value, each short: read as a table, not as nested logic.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
bool OdbcStatement::bindOne(SQLUSMALLINT number, Parameter &p, const QVariant &value)
{
    const bool null = !value.isValid() || value.isNull();
    SQLSMALLINT cType = SQL_C_WCHAR;
    SQLSMALLINT sqlType = SQL_WVARCHAR;
    SQLULEN size = kTextDeclared;
    void *at = nullptr;
    SQLLEN capacity = 0;
    const int type = value.metaType().id();
    const bool integral = type == QMetaType::Int || type == QMetaType::LongLong || type == QMetaType::Short
                          || type == QMetaType::UInt || type == QMetaType::UShort || type == QMetaType::Long
                          || type == QMetaType::ULong || type == QMetaType::Char || type == QMetaType::SChar
                          || type == QMetaType::UChar
                          || (type == QMetaType::ULongLong
                              && value.toULongLong() <= qulonglong(std::numeric_limits<qint64>::max()));
    if (integral) {
        cType = SQL_C_SBIGINT;
        sqlType = SQL_BIGINT;
        size = 0;
        p.integer = null ? 0 : value.toLongLong();
        at = &p.integer;
        p.length = null ? SQL_NULL_DATA : 0;
    } else if (type == QMetaType::Double || type == QMetaType::Float) {
        cType = SQL_C_DOUBLE;
        sqlType = SQL_DOUBLE;
        size = 0;
        p.real = null ? 0 : value.toDouble();
        at = &p.real;
        p.length = null ? SQL_NULL_DATA : 0;
    } else if (type == QMetaType::Bool) {
        cType = SQL_C_BIT;
        sqlType = SQL_BIT;
        size = 0;
        p.bit = !null && value.toBool() ? 1 : 0;
        at = &p.bit;
        p.length = null ? SQL_NULL_DATA : 0;
    } else if (type == QMetaType::QByteArray) {
        p.bytes = null ? QByteArray() : value.toByteArray();
        if (p.bytes.isEmpty())
            p.bytes.reserve(16); // never bound without a buffer, even for NULL
        cType = SQL_C_BINARY;
        const bool bounded = qsizetype(p.bytes.size()) <= qsizetype(kBinaryDeclared);
        sqlType = bounded ? SQL_VARBINARY : m_path.longForms().binary;
        size = bounded ? kBinaryDeclared : 0;
        at = p.bytes.data();
        capacity = SQLLEN(p.bytes.size());
        p.length = null ? SQL_NULL_DATA : SQLLEN(p.bytes.size());
    } else {
        // A text, or anything else as its text.
        const QString converted = type == QMetaType::QString || null ? QString() : value.toString();
        const QString *text = null ? nullptr : type == QMetaType::QString ? static_cast<const QString *>(value.constData()) : &converted;
        const size_t units = text ? size_t(text->size()) : 0;
        if (units > p.text.size() || p.text.empty())
            p.text.resize(std::max<size_t>({units, 2 * p.text.size(), 16}));
        if (units > 0)
            std::memcpy(p.text.data(), text->utf16(), units * sizeof(SQLWCHAR));
        if (units > kTextDeclared) {
            sqlType = m_path.longForms().text;
            size = 0;
        }
        at = p.text.data();
        capacity = SQLLEN(p.text.size() * sizeof(SQLWCHAR));
        p.length = text ? SQLLEN(units * sizeof(SQLWCHAR)) : SQL_NULL_DATA;
    }
    if (p.bound && p.cType == cType && p.sqlType == sqlType && p.size == size && p.boundAt == at
        && p.capacity == capacity)
        return true;
    p.bound = false;
    if (!SQL_SUCCEEDED(SQLBindParameter(m_statement, number, SQL_PARAM_INPUT, cType, sqlType, size, 0, at, capacity,
                                        &p.length)))
        return false;
    p.bound = true;
    p.cType = cType;
    p.sqlType = sqlType;
    p.size = size;
    p.boundAt = at;
    p.capacity = capacity;
    return true;
}

std::vector<ParameterDeclaration> OdbcStatement::declarations() const
{
    std::vector<ParameterDeclaration> declared;
    SQLHDESC descriptor = nullptr;
    if (!SQL_SUCCEEDED(SQLGetStmtAttr(m_statement, SQL_ATTR_IMP_PARAM_DESC, &descriptor, 0, nullptr)) || !descriptor)
        return declared;
    for (size_t i = 0; i < std::max(m_parameters.size(), m_arrays.size()); ++i) {
        const auto number = SQLSMALLINT(i + 1);
        SQLSMALLINT type = 0;
        SQLULEN length = 0;
        if (!SQL_SUCCEEDED(SQLGetDescField(descriptor, number, SQL_DESC_CONCISE_TYPE, &type, SQL_IS_SMALLINT, nullptr))
            || !SQL_SUCCEEDED(SQLGetDescField(descriptor, number, SQL_DESC_LENGTH, &length, SQL_IS_UINTEGER, nullptr))) {
            // psqlODBC keeps no length in the descriptor; it describes its parameters as bound.
            SQLSMALLINT digits = 0;
            SQLSMALLINT nullable = 0;
            if (!SQL_SUCCEEDED(SQLDescribeParam(m_statement, SQLUSMALLINT(number), &type, &length, &digits, &nullable)))
                return {};
        }
        declared.push_back({type, qint64(length)});
    }
    return declared;
}

bool OdbcStatement::setParamSets(SQLULEN sets)
{
    if (sets == m_paramSets)
        return true;
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(m_statement, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(sets), 0)))
        return false;
    m_paramSets = sets;
    // Whatever was bound is for the other shape: bound again before the run.
    SQLFreeStmt(m_statement, SQL_RESET_PARAMS);
    m_parameters.clear();
    m_arrays.clear();
    return true;
}

bool OdbcStatement::bindArrays(const QList<QVariantList> &sets)
{
    const qsizetype columns = sets.first().size();
    if (qsizetype(m_arrays.size()) != columns) {
        SQLFreeStmt(m_statement, SQL_RESET_PARAMS);
        m_arrays = std::vector<TextArray>(size_t(columns));
    }
    for (qsizetype c = columns - 1; c >= 0; --c) {
        const int firstType = sets.first().at(c).metaType().id();
        const bool whole = firstType == QMetaType::LongLong || firstType == QMetaType::Int;
        if (!(whole ? bindIntegerArray(sets, c, firstType) : bindTextArray(sets, c)))
            return false;
    }
    return true;
}

bool OdbcStatement::bindIntegerArray(const QList<QVariantList> &sets, qsizetype c, int type)
{
    TextArray &a = m_arrays[size_t(c)];
    const size_t n = size_t(sets.size());
    const bool rebind = a.sqlType != SQL_BIGINT || a.integers.size() != n;
    a.integers.resize(n);
    a.lengths.resize(n);
    for (size_t r = 0; r < n; ++r) {
        const QVariant &v = sets.at(qsizetype(r)).at(c);
        if (v.metaType().id() != type)
            return false;
        a.integers[r] = v.isNull() ? 0 : v.toLongLong();
        a.lengths[r] = v.isNull() ? SQL_NULL_DATA : 0;
    }
    if (!rebind)
        return true;
    a.sqlType = 0;
    if (!SQL_SUCCEEDED(SQLBindParameter(m_statement, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                        a.integers.data(), 0, a.lengths.data())))
        return false;
    a.sqlType = SQL_BIGINT;
    return true;
}

bool OdbcStatement::bindTextArray(const QList<QVariantList> &sets, qsizetype c)
{
    TextArray &a = m_arrays[size_t(c)];
    const size_t n = size_t(sets.size());
    size_t longest = 0;
    for (const QVariantList &set : sets) {
        const QVariant &v = set.at(c);
        if (!v.isNull() && v.metaType().id() != QMetaType::QString)
            return false;
        longest = std::max(longest, v.isNull() ? 0 : size_t(static_cast<const QString *>(v.constData())->size()));
    }
    // The elements only ever grow, and the declaration does not follow them: a run binds
    // again only when a value outgrows every one before it.
    const SQLSMALLINT type = longest > kTextDeclared ? m_path.longForms().text : SQL_WVARCHAR;
    const bool rebind = longest + 1 > a.units || a.lengths.size() != n || type != a.sqlType || !a.integers.empty();
    a.integers.clear();
    if (rebind) {
        a.units = std::max({longest + 1, 2 * a.units, size_t(16)});
        a.data.resize(a.units * n);
        a.lengths.resize(n);
    }
    for (size_t r = 0; r < n; ++r) {
        const QVariant &v = sets.at(qsizetype(r)).at(c);
        const QString *text = v.isNull() ? nullptr : static_cast<const QString *>(v.constData());
        if (text && !text->isEmpty())
            std::memcpy(a.data.data() + r * a.units, text->utf16(), size_t(text->size()) * sizeof(SQLWCHAR));
        a.lengths[r] = text ? SQLLEN(size_t(text->size()) * sizeof(SQLWCHAR)) : SQL_NULL_DATA;
    }
    if (!rebind)
        return true;
    a.sqlType = type;
    if (!SQL_SUCCEEDED(SQLBindParameter(m_statement, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, type,
                                        type == SQL_WVARCHAR ? kTextDeclared : 0, 0, a.data.data(),
                                        SQLLEN(a.units * sizeof(SQLWCHAR)), a.lengths.data()))) {
        a.sqlType = 0;
        a.units = 0;
        return false;
    }
    return true;
}

bool OdbcStatement::executeMany(const QList<QVariantList> &sets)
{
    if (sets.size() <= 1)
        return Statement::executeMany(sets);
    endCursor();
    m_error = QSqlError();
    m_manyAffected = -1;
    const auto setStatus = [&] {
        m_setStatus.assign(size_t(sets.size()), 0);
        SQLSetStmtAttr(m_statement, SQL_ATTR_PARAM_STATUS_PTR, m_setStatus.data(), 0);
    };
    if (!setParamSets(SQLULEN(sets.size())))
        return Statement::executeMany(sets); // a driver without arrays: one set at a time
    setStatus();
    if (!bindArrays(sets)) {
        setParamSets(1);
        return Statement::executeMany(sets);
    }
    m_path.countExecution();
    const SQLRETURN rc = SQLExecute(m_statement);
    bool ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
    for (const SQLUSMALLINT status : m_setStatus)
        ok = ok && status != SQL_PARAM_ERROR;
    if (!ok) {
        m_error = statementError(QStringLiteral("Unable to execute statement"), m_statement);
        SQLFreeStmt(m_statement, SQL_CLOSE);
        return false;
    }
    SQLLEN rows = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(m_statement, &rows)))
        rows = -1;
    m_manyAffected = rows;
    return drainResults();
}

bool OdbcStatement::execute(const QVariantList &values)
{
    m_batch = false;
    return start(values);
}

bool OdbcStatement::start(const QVariantList &values)
{
    endCursor();
    m_error = QSqlError();
    m_rowsAffected = -1;
    if (!setParamSets(1))
        return fail(QStringLiteral("Unable to bind the values"));
    if (!bind(values))
        return false;
    m_path.countExecution();
    const SQLRETURN rc = SQLExecute(m_statement);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        m_error = statementError(QStringLiteral("Unable to execute statement"), m_statement);
        SQLFreeStmt(m_statement, SQL_CLOSE);
        return false;
    }
    SQLSMALLINT count = 0;
    if (rc != SQL_NO_DATA && SQL_SUCCEEDED(SQLNumResultCols(m_statement, &count)) && count > 0) {
        m_open = true;
        return describe(count);
    }
    SQLLEN rows = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(m_statement, &rows)))
        rows = -1;
    m_rowsAffected = rows;
    if (m_batch) { // a count first: the rest of the batch is the caller's to read
        m_columns.clear();
        m_pending = true;
        return true;
    }
    return drainResults();
}

bool OdbcStatement::drainResults()
{
    // What follows a statement's own count (a trigger's counts, or an error raised after them)
    // is read to its end: only then did the statement succeed, and the handle is free.
    for (;;) {
        const SQLRETURN rc = SQLMoreResults(m_statement);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc)) {
            m_open = true;
            return fail(QStringLiteral("Unable to execute statement"));
        }
        SQLSMALLINT count = 0;
        if (SQL_SUCCEEDED(SQLNumResultCols(m_statement, &count)) && count > 0) {
            SQLFreeStmt(m_statement, SQL_UNBIND);
            SQLRETURN fetched;
            while (SQL_SUCCEEDED(fetched = SQLFetch(m_statement))) {
            }
            if (fetched != SQL_NO_DATA) {
                m_open = true;
                return fail(QStringLiteral("Unable to fetch row"));
            }
        }
    }
    SQLFreeStmt(m_statement, SQL_CLOSE);
    return true;
}

bool OdbcStatement::setBlock(SQLULEN rows)
{
    if (rows == m_blockRows)
        return true;
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0)))
        return false;
    m_blockRows = rows;
    return true;
}

bool OdbcStatement::describe(SQLSMALLINT count)
{
    SQLFreeStmt(m_statement, SQL_UNBIND);
    m_columns = std::vector<Column>(size_t(count));
    m_valueByValue = false;
    for (SQLSMALLINT i = 0; i < count; ++i) {
        // Through SQLColAttribute's name, type and length alone: psqlODBC reads the catalogue,
        // a round trip, for the concise type (and so for SQLDescribeCol) of a new statement.
        const auto column = SQLUSMALLINT(i + 1);
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameBytes = 0;
        SQLLEN type = 0;
        SQLLEN length = 0;
        if (!SQL_SUCCEEDED(
                SQLColAttributeW(m_statement, column, SQL_DESC_NAME, name, SQLSMALLINT(sizeof name), &nameBytes, nullptr))
            || !SQL_SUCCEEDED(SQLColAttributeW(m_statement, column, SQL_DESC_TYPE, nullptr, 0, nullptr, &type))
            || !SQL_SUCCEEDED(SQLColAttributeW(m_statement, column, SQL_DESC_LENGTH, nullptr, 0, nullptr, &length)))
            return fail(QStringLiteral("Unable to describe the result"));
        const SQLULEN size = length < 0 ? 0 : SQLULEN(length);
        Column &c = m_columns[size_t(i)];
        c.name = QString::fromUtf16(utf16(name), qMin<qsizetype>(nameBytes / qsizetype(sizeof(SQLWCHAR)), 255));
        // Room for a text's every character as a surrogate pair, and the terminator; at least
        // 4 096 characters, for drivers that give a column without a limit a size of their own.
        const auto textWidth = [&](SQLULEN characters) {
            return SQLLEN((qMax<SQLULEN>(2 * characters, 4096) + 1) * sizeof(SQLWCHAR));
        };
        switch (type) {
        case SQL_BIT:
            c.kind = ValueKind::Boolean;
            c.cType = SQL_C_SBIGINT;
            c.width = sizeof(SQLBIGINT);
            break;
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            c.kind = ValueKind::Integer;
            c.cType = SQL_C_SBIGINT;
            c.width = sizeof(SQLBIGINT);
            break;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            c.kind = ValueKind::Real;
            c.cType = SQL_C_DOUBLE;
            c.width = sizeof(SQLDOUBLE);
            break;
        case SQL_NUMERIC:
        case SQL_DECIMAL:
            // As the server's digits: a double holds 15 of them.
            c.kind = ValueKind::Decimal;
            c.cType = SQL_C_WCHAR;
            c.width = SQLLEN(128 * sizeof(SQLWCHAR));
            break;
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIME:
        case SQL_TYPE_TIMESTAMP:
        case SQL_DATE: // and SQL_DATETIME, the verbose type of every date, time and timestamp
        case SQL_TIME:
        case SQL_TIMESTAMP:
        case kSsTime2:
        case kSsTimestampOffset:
            c.kind = ValueKind::Temporal;
            c.cType = SQL_C_WCHAR;
            c.width = SQLLEN(128 * sizeof(SQLWCHAR));
            break;
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
            c.kind = ValueKind::Text;
            c.cType = SQL_C_WCHAR;
            c.width = size == 0 || size > 4096 ? 0 : textWidth(size);
            break;
        case SQL_BINARY:
        case SQL_VARBINARY:
            c.kind = ValueKind::Binary;
            c.cType = SQL_C_BINARY;
            c.width = size == 0 || size > kBinaryDeclared ? 0 : SQLLEN(kBinaryDeclared);
            break;
        case SQL_LONGVARBINARY:
            c.kind = ValueKind::Binary;
            c.cType = SQL_C_BINARY;
            c.width = 0;
            break;
        case SQL_LONGVARCHAR:
        case SQL_WLONGVARCHAR:
            c.kind = ValueKind::Text;
            c.cType = SQL_C_WCHAR;
            c.width = 0;
            break;
        default:
            c.kind = ValueKind::Other;
            c.cType = SQL_C_WCHAR;
            c.width = 0;
            break;
        }
        m_valueByValue = m_valueByValue || c.width == 0;
    }
    // A driver without block cursors fetches a row at a time; one that fetches fewer rows a
    // block than asked says how many it did.
    if (m_valueByValue || !setBlock(kBlock)) {
        if (!setBlock(1))
            return fail(QStringLiteral("Unable to fetch row"));
    }
    if (m_valueByValue) {
        m_row.assign(m_columns.size(), QVariant());
        return true;
    }
    for (size_t i = 0; i < m_columns.size(); ++i) {
        Column &c = m_columns[i];
        c.data.reset(new char[size_t(c.width) * m_blockRows]); // left unfilled: a short result touches little
        c.lengths.assign(m_blockRows, 0);
        if (!SQL_SUCCEEDED(SQLBindCol(m_statement, SQLUSMALLINT(i + 1), c.cType, c.data.get(), c.width,
                                      c.lengths.data())))
            return fail(QStringLiteral("Unable to bind the result"));
    }
    return true;
}

QList<ColumnInfo> OdbcStatement::columns() const
{
    QList<ColumnInfo> list;
    for (const Column &c : m_columns)
        list.append({c.name, c.kind});
    return list;
}

bool OdbcStatement::next()
{
    if (!m_open)
        return false;
    if (m_valueByValue)
        return readRow();
    if (++m_at < m_fetched)
        return true;
    return fetchBlock();
}

bool OdbcStatement::fetchBlock()
{
    m_fetched = 0;
    m_at = 0;
    // SQLFetchScroll fills the rows-fetched count in every environment; FreeTDS's SQLFetch does
    // not in an ODBC 2 one.
    const SQLRETURN rc = SQLFetchScroll(m_statement, SQL_FETCH_NEXT, 0);
    if (rc == SQL_NO_DATA)
        return endOfRows();
    if (!SQL_SUCCEEDED(rc))
        return fail(QStringLiteral("Unable to fetch row"));
    if (m_blockRows == 1 && m_fetched == 0)
        m_fetched = 1; // a driver that does not fill the count for single rows
    for (SQLULEN row = 0; row < m_fetched; ++row) {
        if (m_status[row] == SQL_ROW_ERROR)
            return fail(QStringLiteral("Unable to fetch row"));
    }
    // A value longer than its buffer was cut: never hand it on.
    for (const Column &c : m_columns) {
        if (c.cType != SQL_C_WCHAR && c.cType != SQL_C_BINARY)
            continue;
        const SQLLEN room = c.cType == SQL_C_WCHAR ? c.width - SQLLEN(sizeof(SQLWCHAR)) : c.width;
        for (SQLULEN row = 0; row < m_fetched; ++row) {
            const SQLLEN length = c.lengths[row];
            if (length == SQL_NO_TOTAL || length > room) {
                m_error = QSqlError(QStringLiteral("Unable to fetch row"),
                                    QStringLiteral("a value is longer than its column"), QSqlError::StatementError);
                endCursor();
                return false;
            }
        }
    }
    if (m_fetched == 0)
        return endOfRows();
    return true;
}

bool OdbcStatement::endOfRows()
{
    if (!m_batch) {
        endCursor(); // read to its end
        return false;
    }
    m_open = false;
    m_pending = true;
    m_fetched = 0;
    m_at = 0;
    return false;
}

bool OdbcStatement::executeBatch(const QVariantList &values)
{
    m_batch = true;
    const bool ok = start(values);
    if (!ok)
        m_batch = false;
    return ok;
}

bool OdbcStatement::nextResult()
{
    if (!m_batch || m_open || !m_pending)
        return false;
    m_rowsAffected = -1;
    const SQLRETURN rc = SQLMoreResults(m_statement);
    if (rc == SQL_NO_DATA) {
        endCursor();
        m_batch = false;
        return false;
    }
    if (!SQL_SUCCEEDED(rc)) {
        m_batch = false;
        return fail(QStringLiteral("Unable to execute statement"));
    }
    SQLSMALLINT count = 0;
    if (SQL_SUCCEEDED(SQLNumResultCols(m_statement, &count)) && count > 0) {
        m_pending = false;
        m_open = true;
        if (!describe(count)) {
            m_batch = false;
            return false;
        }
        return true;
    }
    SQLLEN rows = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(m_statement, &rows)))
        rows = -1;
    m_rowsAffected = rows;
    m_columns.clear();
    return true; // a count; m_pending stays
}

bool OdbcStatement::readLong(int column, SQLSMALLINT cType, QVariant &value)
{
    value = QVariant();
    QString text;
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN rc = SQLGetData(m_statement, SQLUSMALLINT(column + 1), cType, buffer, sizeof buffer, &length);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc))
            return false;
        if (length == SQL_NULL_DATA)
            return true;
        // A part that filled the buffer leaves a terminator (texts) and says SQL_SUCCESS_WITH_INFO.
        const SQLLEN room = cType == SQL_C_WCHAR ? SQLLEN(sizeof buffer) - SQLLEN(sizeof(SQLWCHAR)) : SQLLEN(sizeof buffer);
        const SQLLEN got = (rc == SQL_SUCCESS_WITH_INFO && (length == SQL_NO_TOTAL || length > room)) ? room : length;
        if (cType == SQL_C_WCHAR)
            text.append(QStringView(reinterpret_cast<const char16_t *>(buffer), got / qsizetype(sizeof(SQLWCHAR))));
        else
            bytes.append(buffer, got);
        if (rc == SQL_SUCCESS)
            break;
    }
    value = cType == SQL_C_WCHAR ? QVariant(text) : QVariant(bytes);
    return true;
}

bool OdbcStatement::readRow()
{
    const SQLRETURN rc = SQLFetchScroll(m_statement, SQL_FETCH_NEXT, 0);
    if (rc == SQL_NO_DATA)
        return endOfRows();
    if (!SQL_SUCCEEDED(rc))
        return fail(QStringLiteral("Unable to fetch row"));
    for (size_t i = 0; i < m_columns.size(); ++i) {
        const Column &c = m_columns[i];
        QVariant &v = m_row[i];
        if (c.cType == SQL_C_WCHAR || c.cType == SQL_C_BINARY) {
            if (!readLong(int(i), c.cType, v))
                return fail(QStringLiteral("Unable to fetch row"));
            continue;
        }
        SQLLEN length = 0;
        SQLBIGINT integer = 0;
        SQLDOUBLE real = 0;
        void *at = c.cType == SQL_C_DOUBLE ? static_cast<void *>(&real) : static_cast<void *>(&integer);
        if (!SQL_SUCCEEDED(SQLGetData(m_statement, SQLUSMALLINT(i + 1), c.cType, at, 0, &length)))
            return fail(QStringLiteral("Unable to fetch row"));
        if (length == SQL_NULL_DATA)
            v = QVariant();
        else if (c.cType == SQL_C_DOUBLE)
            v = double(real);
        else if (c.kind == ValueKind::Boolean)
            v = integer != 0;
        else
            v = qlonglong(integer);
    }
    return true;
}

bool OdbcStatement::isNull(int column) const
{
    if (m_valueByValue)
        return !m_row[size_t(column)].isValid();
    return m_columns[size_t(column)].lengths[m_at] == SQL_NULL_DATA;
}

ValueKind OdbcStatement::kind(int column) const
{
    return isNull(column) ? ValueKind::Null : m_columns[size_t(column)].kind;
}

QVariant OdbcStatement::value(int column) const
{
    if (m_valueByValue)
        return m_row[size_t(column)];
    const Column &c = m_columns[size_t(column)];
    const SQLLEN length = c.lengths[m_at];
    if (length == SQL_NULL_DATA)
        return QVariant();
    const char *at = c.data.get() + size_t(m_at) * size_t(c.width);
    switch (c.cType) {
    case SQL_C_SBIGINT: {
        SQLBIGINT v;
        std::memcpy(&v, at, sizeof v);
        return c.kind == ValueKind::Boolean ? QVariant(v != 0) : QVariant(qlonglong(v));
    }
    case SQL_C_DOUBLE: {
        SQLDOUBLE v;
        std::memcpy(&v, at, sizeof v);
        return QVariant(double(v));
    }
    case SQL_C_BINARY:
        return QVariant(QByteArray(at, qsizetype(length)));
    default:
        return QVariant(QString::fromUtf16(reinterpret_cast<const char16_t *>(at),
                                           qsizetype(length) / qsizetype(sizeof(SQLWCHAR))));
    }
}

bool OdbcStatement::close(bool readToEnd)
{
    if (!m_open && !m_pending)
        return true;
    if (!readToEnd)
        return false; // dropped with its handle: FreeTDS 1.3 fails a select run again after an early close
    do {
        while (next()) {
        }
        if (m_error.isValid())
            return false;
    } while (nextResult());
    return !m_error.isValid();
}

} // namespace

std::unique_ptr<StatementPath> makeOdbcPath(const QSqlDatabase &db, int commandTimeout)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (db.driverName() != QLatin1String("QODBC") || !handle.isValid() || qstrcmp(handle.typeName(), "void*") != 0)
        return nullptr;
    SQLHDBC connection = *static_cast<SQLHDBC const *>(handle.constData());
    if (!connection)
        return nullptr;
    return std::make_unique<OdbcPath>(connection, commandTimeout);
}

} // namespace chongma
