#include "data/QtStatement.h"

#include "data/DataLink.h"
#include "data/OdbcStatement.h"
#include "data/SqliteStatement.h"

#include <QDateTime>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

namespace chongma {

namespace {

ValueKind kindOfType(QMetaType type)
{
    switch (type.id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return ValueKind::Integer;
    case QMetaType::Double:
    case QMetaType::Float:
        return ValueKind::Real;
    case QMetaType::Bool:
        return ValueKind::Boolean;
    case QMetaType::QByteArray:
        return ValueKind::Binary;
    case QMetaType::QDateTime:
    case QMetaType::QDate:
    case QMetaType::QTime:
        return ValueKind::Temporal;
    case QMetaType::QString:
        return ValueKind::Text;
    default:
        return ValueKind::Other;
    }
}

} // namespace

ValueKind kindOf(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return ValueKind::Null;
    return kindOfType(value.metaType());
}

namespace {

// Dates and times as text with every digit Qt keeps; whole numbers as qlonglong.
QVariant normalized(const QVariant &value)
{
    switch (kindOf(value)) {
    case ValueKind::Integer:
        return value.metaType().id() == QMetaType::ULongLong ? value : QVariant(value.toLongLong());
    case ValueKind::Temporal:
        if (value.metaType().id() == QMetaType::QDateTime)
            return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        if (value.metaType().id() == QMetaType::QTime)
            return value.toTime().toString(QStringLiteral("HH:mm:ss.zzz"));
        return value.toDate().toString(Qt::ISODate);
    case ValueKind::Null:
        return QVariant();
    default:
        return value;
    }
}

class QtStatement final : public Statement {
public:
    QtStatement(StatementPath &path, QSqlQuery query) : m_path(path), m_query(std::move(query)) {}

    bool execute(const QVariantList &values) override
    {
        m_query.finish();
        for (int i = 0; i < values.size(); ++i)
            m_query.bindValue(i, values.at(i));
        m_path.countExecution();
        m_open = false;
        if (!m_query.exec())
            return false;
        m_open = m_query.isSelect();
        m_rows = m_open ? -1 : m_query.numRowsAffected();
        if (!m_open)
            m_query.finish();
        return true;
    }
    qint64 rowsAffected() const override { return m_rows; }
    QSqlError error() const override { return m_query.lastError(); }
    QList<ColumnInfo> columns() const override
    {
        QList<ColumnInfo> list;
        const QSqlRecord record = m_query.record();
        for (int i = 0; i < record.count(); ++i) {
            list.append({record.fieldName(i), kindOfType(record.field(i).metaType())});
        }
        return list;
    }
    bool next() override
    {
        if (!m_open)
            return false;
        if (m_query.next())
            return true;
        m_open = false;
        return false;
    }
    bool isNull(int column) const override { return m_query.isNull(column); }
    ValueKind kind(int column) const override { return isNull(column) ? ValueKind::Null : kindOf(m_query.value(column)); }
    QVariant value(int column) const override { return isNull(column) ? QVariant() : normalized(m_query.value(column)); }
    bool close(bool) override
    {
        m_query.finish();
        m_open = false;
        return true;
    }

private:
    StatementPath &m_path;
    QSqlQuery m_query;
    qint64 m_rows = -1;
    bool m_open = false;
};

class QtPath final : public StatementPath {
public:
    explicit QtPath(const QSqlDatabase &db) : m_db(db) {}
    QString name() const override { return QStringLiteral("qt"); }
    Dialect dialect() const override
    {
        if (m_db.driverName() == QLatin1String("QSQLITE"))
            return Dialect::Sqlite;
        if (m_db.driverName() == QLatin1String("QPSQL"))
            return Dialect::PostgreSQL;
        return Dialect::Other;
    }
    std::unique_ptr<Statement> prepare(const QString &sql, QSqlError &error) override
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.prepare(sql)) {
            error = query.lastError();
            return nullptr;
        }
        return std::make_unique<QtStatement>(*this, std::move(query));
    }
    bool execDirect(const QString &sql, QSqlError &error) override
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        countExecution();
        if (query.exec(sql))
            return true;
        error = query.lastError();
        return false;
    }
    bool begin(QSqlError &error) override { return done(m_db.transaction(), error); }
    bool commit(QSqlError &error) override { return done(m_db.commit(), error); }
    bool rollback(QSqlError &error) override { return done(m_db.rollback(), error); }

private:
    bool done(bool ok, QSqlError &error)
    {
        if (!ok)
            error = m_db.lastError();
        return ok;
    }
    QSqlDatabase m_db;
};

} // namespace

std::unique_ptr<StatementPath> makeQtPath(const QSqlDatabase &db) { return std::make_unique<QtPath>(db); }

std::unique_ptr<StatementPath> makeStatementPath(const QSqlDatabase &db, const DataLink &, int commandTimeout)
{
    if (std::unique_ptr<StatementPath> odbc = makeOdbcPath(db, commandTimeout))
        return odbc;
    if (std::unique_ptr<StatementPath> sqlite = makeSqlitePath(db))
        return sqlite;
    return makeQtPath(db);
}

} // namespace chongma
