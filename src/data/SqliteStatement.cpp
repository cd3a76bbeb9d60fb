#include "data/SqliteStatement.h"

#include <QSqlDriver>
#include <QSqlResult>
#include <QStringEncoder>

#include <vector>

#ifdef CHONGMA_SQLITE_DIRECT
#include <dlfcn.h>
#include <sqlite3.h>
#endif

namespace chongma {

#ifdef CHONGMA_SQLITE_DIRECT

namespace {

// Whether the driver's plugin reaches SQLite through the shared library this program uses: a
// statement handle may only go to the library instance that made it. The plugin is found from
// the driver's virtual table, which lives in it.
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

} // namespace

std::optional<StraightResult> execSqliteTexts(QSqlQuery &query, const QVariantList &values)
{
    auto *statement = static_cast<sqlite3_stmt *>(driverStatement(query, "sqlite3_stmt*"));
    static const bool shared = driverSharesOurSqlite(query.driver());
    if (!statement || !shared || sqlite3_bind_parameter_count(statement) != values.size() || !onlyTexts(values))
        return std::nullopt;
    sqlite3 *db = sqlite3_db_handle(statement);
    StraightResult result;
    const auto done = [&](int rc) {
        if (rc != SQLITE_OK && rc != SQLITE_DONE) {
            result.error = QSqlError(QStringLiteral("Unable to fetch row"),
                                     QString::fromUtf16(static_cast<const char16_t *>(sqlite3_errmsg16(db))),
                                     QSqlError::StatementError, QString::number(rc));
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return result;
    };
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    // The texts go in as UTF-8, all encoded into one buffer: bound as UTF-16 each would be
    // translated by SQLite in a buffer of its own.
    QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
    qsizetype room = 0;
    for (const QVariant &value : values)
        room += value.isNull() ? 0 : encoder.requiredSpace(static_cast<const QString *>(value.constData())->size());
    thread_local std::vector<char> texts;
    texts.resize(size_t(qMax<qsizetype>(room, 1)));
    char *end = texts.data();
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        int rc = SQLITE_OK;
        if (value.isNull()) {
            rc = sqlite3_bind_null(statement, int(i + 1));
        } else {
            char *const text = end;
            end = encoder.appendToBuffer(text, *static_cast<const QString *>(value.constData()));
            // SQLite reads the text in place until the step is over.
            rc = sqlite3_bind_text(statement, int(i + 1), text, int(end - text), SQLITE_STATIC);
        }
        if (rc != SQLITE_OK)
            return done(rc);
    }
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) {
        result.ok = true;
        result.rowsAffected = sqlite3_changes(db);
    }
    return done(rc);
}

#else

std::optional<StraightResult> execSqliteTexts(QSqlQuery &, const QVariantList &) { return std::nullopt; }

#endif

} // namespace chongma
