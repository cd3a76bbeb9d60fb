#include "data/SqliteStatement.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QStringEncoder>

#include <vector>

#ifdef CHONGMA_SQLITE_DIRECT
#include <dlfcn.h>
#include <sqlite3.h>
#endif

namespace chongma {

#ifdef CHONGMA_SQLITE_DIRECT

namespace {

// Whether the driver's plugin reaches SQLite through the shared library this program uses. The
// plugin is found from the driver's virtual table, which lives in it.
bool driverSharesOurSqlite(const QSqlDriver *driver)
{
    Dl_info info{};
    const void *table = *reinterpret_cast<const void *const *>(driver);
    if (!dladdr(table, &info) || !info.dli_fname)
        return false;
    void *plugin = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!plugin)
        return false;
    void *theirs = dlsym(plugin, "sqlite3_bind_text16");
    dlclose(plugin);
    return theirs && theirs == reinterpret_cast<void *>(&sqlite3_bind_text16);
}

QSqlError sqliteError(sqlite3 *db, const QString &what, int rc, QSqlError::ErrorType type = QSqlError::StatementError)
{
    return QSqlError(what, QString::fromUtf16(static_cast<const char16_t *>(sqlite3_errmsg16(db))), type,
                     QString::number(rc));
}

// SQLite's column affinity from a declared type, as SQLite derives it.
ValueKind affinityKind(const QString &declared)
{
    const QString t = declared.toUpper();
    if (t.contains(QLatin1String("INT")))
        return ValueKind::Integer;
    if (t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB")) || t.contains(QLatin1String("TEXT")))
        return ValueKind::Text;
    if (t.isEmpty() || t.contains(QLatin1String("BLOB")))
        return ValueKind::Untyped;
    if (t.contains(QLatin1String("REAL")) || t.contains(QLatin1String("FLOA")) || t.contains(QLatin1String("DOUB")))
        return ValueKind::Real;
    return ValueKind::Decimal; // NUMERIC affinity
}

class SqlitePath;

class SqliteStatement final : public Statement {
public:
    SqliteStatement(StatementPath &path, sqlite3 *db, sqlite3_stmt *statement)
        : m_path(path), m_db(db), m_statement(statement)
    {
    }
    ~SqliteStatement() override { sqlite3_finalize(m_statement); }
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    bool execute(const QVariantList &values) override
    {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        m_open = m_pending = false;
        m_error = QSqlError();
        m_rows = -1;
        if (sqlite3_bind_parameter_count(m_statement) != values.size()) {
            m_error = QSqlError(QStringLiteral("Unable to bind the values"),
                                QStringLiteral("the statement takes %1 values, not %2")
                                    .arg(sqlite3_bind_parameter_count(m_statement))
                                    .arg(values.size()),
                                QSqlError::StatementError);
            return false;
        }
        if (!bind(values))
            return false;
        m_path.countExecution();
        const int rc = sqlite3_step(m_statement);
        if (rc == SQLITE_ROW) {
            m_open = m_pending = true;
            return true;
        }
        if (rc != SQLITE_DONE)
            return fail(QStringLiteral("Unable to execute statement"), rc);
        m_rows = sqlite3_changes(m_db);
        sqlite3_reset(m_statement);
        return true;
    }
    qint64 rowsAffected() const override { return m_rows; }
    QSqlError error() const override { return m_error; }

    QList<ColumnInfo> columns() const override
    {
        QList<ColumnInfo> list;
        for (int i = 0; i < sqlite3_column_count(m_statement); ++i) {
            const char *declared = sqlite3_column_decltype(m_statement, i);
            const QString type = declared ? QString::fromUtf8(declared) : QString();
            list.append({QString::fromUtf8(sqlite3_column_name(m_statement, i)), affinityKind(type)});
        }
        return list;
    }

    bool next() override
    {
        if (m_pending) {
            m_pending = false;
            return true;
        }
        if (!m_open)
            return false;
        const int rc = sqlite3_step(m_statement);
        if (rc == SQLITE_ROW)
            return true;
        m_open = false;
        if (rc != SQLITE_DONE)
            return fail(QStringLiteral("Unable to fetch row"), rc);
        sqlite3_reset(m_statement);
        return false;
    }
    bool isNull(int column) const override { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
    ValueKind kind(int column) const override
    {
        switch (sqlite3_column_type(m_statement, column)) {
        case SQLITE_INTEGER:
            return ValueKind::Integer;
        case SQLITE_FLOAT:
            return ValueKind::Real;
        case SQLITE_BLOB:
            return ValueKind::Binary;
        case SQLITE_NULL:
            return ValueKind::Null;
        default:
            return ValueKind::Text;
        }
    }
    QVariant value(int column) const override
    {
        switch (sqlite3_column_type(m_statement, column)) {
        case SQLITE_INTEGER:
            return QVariant(qlonglong(sqlite3_column_int64(m_statement, column)));
        case SQLITE_FLOAT:
            return QVariant(sqlite3_column_double(m_statement, column));
        case SQLITE_BLOB: {
            const void *data = sqlite3_column_blob(m_statement, column);
            return QVariant(QByteArray(static_cast<const char *>(data), sqlite3_column_bytes(m_statement, column)));
        }
        case SQLITE_NULL:
            return QVariant();
        default: {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
            return QVariant(QString::fromUtf8(text, sqlite3_column_bytes(m_statement, column)));
        }
        }
    }
    bool close(bool) override
    {
        sqlite3_reset(m_statement);
        m_open = m_pending = false;
        return true;
    }

private:
    bool fail(const QString &what, int rc)
    {
        m_error = sqliteError(m_db, what, rc);
        sqlite3_reset(m_statement);
        m_open = m_pending = false;
        return false;
    }

    bool bind(const QVariantList &values)
    {
        // The texts go in as UTF-8, all encoded into one buffer that outlives the step: bound as
        // UTF-16 each would be translated by SQLite in a buffer of its own.
        QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
        qsizetype room = 0;
        for (const QVariant &value : values) {
            if (!value.isNull() && value.metaType().id() == QMetaType::QString)
                room += encoder.requiredSpace(static_cast<const QString *>(value.constData())->size());
        }
        m_texts.resize(size_t(qMax<qsizetype>(room, 1)));
        m_blobs.clear();
        char *end = m_texts.data();
        for (qsizetype i = 0; i < values.size(); ++i) {
            const QVariant &value = values.at(i);
            const int n = int(i + 1);
            const int type = value.metaType().id();
            int rc = SQLITE_OK;
            if (!value.isValid() || value.isNull()) {
                rc = sqlite3_bind_null(m_statement, n);
            } else if (type == QMetaType::QString) {
                char *const text = end;
                end = encoder.appendToBuffer(text, *static_cast<const QString *>(value.constData()));
                rc = sqlite3_bind_text(m_statement, n, text, int(end - text), SQLITE_STATIC);
            } else if (type == QMetaType::Double || type == QMetaType::Float) {
                rc = sqlite3_bind_double(m_statement, n, value.toDouble());
            } else if (type == QMetaType::QByteArray) {
                m_blobs.push_back(value.toByteArray());
                rc = sqlite3_bind_blob(m_statement, n, m_blobs.back().constData(), int(m_blobs.back().size()),
                                       SQLITE_STATIC);
            } else if (type == QMetaType::Bool || value.canConvert<qlonglong>()) {
                bool ok = false;
                const qlonglong integer = value.toLongLong(&ok);
                rc = ok && type != QMetaType::QDateTime && type != QMetaType::QDate && type != QMetaType::QTime
                         ? sqlite3_bind_int64(m_statement, n, integer)
                         : bindText(n, value.toString());
            } else {
                rc = bindText(n, value.toString());
            }
            if (rc != SQLITE_OK)
                return fail(QStringLiteral("Unable to bind the values"), rc);
        }
        return true;
    }
    int bindText(int n, const QString &text)
    {
        m_blobs.push_back(text.toUtf8());
        return sqlite3_bind_text(m_statement, n, m_blobs.back().constData(), int(m_blobs.back().size()), SQLITE_STATIC);
    }

    StatementPath &m_path;
    sqlite3 *m_db;
    sqlite3_stmt *m_statement;
    QSqlError m_error;
    qint64 m_rows = -1;
    bool m_open = false;
    bool m_pending = false; // the first row, stepped by execute
    std::vector<char> m_texts;
    std::vector<QByteArray> m_blobs; // bound in place until the next execute
};

class SqlitePath final : public StatementPath {
public:
    explicit SqlitePath(sqlite3 *db) : m_db(db) {}
    QString name() const override { return QStringLiteral("sqlite"); }
    Dialect dialect() const override { return Dialect::Sqlite; }

    std::unique_ptr<Statement> prepare(const QString &sql, QSqlError &error) override
    {
        const QByteArray text = sql.toUtf8();
        sqlite3_stmt *statement = nullptr;
        const int rc = sqlite3_prepare_v3(m_db, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT,
                                          &statement, nullptr);
        if (rc != SQLITE_OK || !statement) {
            error = sqliteError(m_db, QStringLiteral("Unable to prepare statement"), rc);
            sqlite3_finalize(statement);
            return nullptr;
        }
        return std::make_unique<SqliteStatement>(*this, m_db, statement);
    }

    bool execDirect(const QString &sql, QSqlError &error) override
    {
        countExecution();
        return exec(sql.toUtf8().constData(), QStringLiteral("Unable to execute statement"), error);
    }
    bool begin(QSqlError &error) override
    {
        return exec("begin immediate", QStringLiteral("Unable to begin transaction"), error);
    }
    bool commit(QSqlError &error) override
    {
        return exec("commit", QStringLiteral("Unable to commit transaction"), error);
    }
    bool rollback(QSqlError &error) override
    {
        return exec("rollback", QStringLiteral("Unable to rollback transaction"), error);
    }

private:
    bool exec(const char *sql, const QString &what, QSqlError &error)
    {
        const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return true;
        error = sqliteError(m_db, what, rc);
        return false;
    }

    sqlite3 *m_db;
};

} // namespace

std::unique_ptr<StatementPath> makeSqlitePath(const QSqlDatabase &db)
{
    const QSqlDriver *driver = db.driver();
    if (db.driverName() != QLatin1String("QSQLITE") || !driver)
        return nullptr;
    const QVariant handle = driver->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    static const bool shared = driverSharesOurSqlite(driver);
    auto *connection = *static_cast<sqlite3 *const *>(handle.constData());
    if (!shared || !connection)
        return nullptr;
    return std::make_unique<SqlitePath>(connection);
}

#else

std::unique_ptr<StatementPath> makeSqlitePath(const QSqlDatabase &) { return nullptr; }

#endif

} // namespace chongma
