// The database session against SQLite and PostgreSQL (through ODBC): its two statement
// patterns, NULL reads, bound values and the database thread.
#include "data/Catalog.h"
#include "data/Connection.h"
#include "data/Error.h"
#include "data/Job.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/SessionHost.h"
#include "data/Statements.h"
#include "support/TdsEndpoint.h"
#include "support/TestDatabase.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace chongma;
using chongma::test::ScratchDatabase;

namespace {

struct Recorder : OperationSink {
    QStringList logs;
    void addLog(const QString &line) override { logs << line; }
};

int countRows(ScratchDatabase &db, const QString &table)
{
    const auto rows = db.rows(QStringLiteral("select count(*) from %1").arg(table));
    return rows.isEmpty() ? -1 : rows.first().first().toInt();
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { test::addBackendRows(); }

    void commitsAndReportsRowsAffected()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(1, 5, QStringLiteral("A"));
        db.insertDisk(2, 6, QStringLiteral("A"));
        TData1 session(db.link());

        qint64 affected = -2;
        QVERIFY(session.execInTransaction(TData1::Query::SaveData,
                                          QStringLiteral("insert into diskinfo (DiskID, DiskNum, Bar) values (?, ?, ?)"),
                                          {3, 7, QStringLiteral("B")}, &affected));
        QCOMPARE(affected, 1);
        QCOMPARE(countRows(db, QStringLiteral("diskinfo")), 3);

        QVERIFY(session.execInTransaction(TData1::Query::Curve, QStringLiteral("delete from diskinfo where Bar=? "),
                                          {QStringLiteral("A")}, &affected));
        QCOMPARE(affected, 2);
        // Matching no row is still a success, with nothing affected.
        QVERIFY(session.execInTransaction(TData1::Query::Curve, QStringLiteral("delete from diskinfo where Bar=? "),
                                          {QStringLiteral("A")}, &affected));
        QCOMPARE(affected, 0);
        QCOMPARE(countRows(db, QStringLiteral("diskinfo")), 1);
    }

    void failingStatementRollsBackAndNextTransactionWorks()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.exec(QStringLiteral("create table t (k integer primary key, v varchar(10))"));
        db.exec(QStringLiteral("insert into t values (1, 'one')"));
        TData1 session(db.link());
        const QString insert = QStringLiteral("insert into t (k, v) values (?, ?)");

        qint64 affected = 99;
        QVERIFY(!session.execInTransaction(TData1::Query::SaveData, insert, {1, QStringLiteral("dup")}, &affected));
        QCOMPARE(affected, 99); // untouched on failure
        QVERIFY(!session.execInTransaction(TData1::Query::SaveData, QStringLiteral("insert into nosuchtable values (1)")));
        QVERIFY(session.execInTransaction(TData1::Query::SaveData, insert, {2, QStringLiteral("two")}));
        QVERIFY(session.execInTransaction(TData1::Query::SaveData, insert, {3, QStringLiteral("three")}));

        const auto rows = db.rows(QStringLiteral("select k, v from t order by k"));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(0).at(1).toString(), QStringLiteral("one"));
        QCOMPARE(rows.at(2).at(1).toString(), QStringLiteral("three"));
    }

    void repeatedStatementBindsFreshValues()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        for (int id = 1; id <= 6; ++id)
            db.insertDisk(id, id, QStringLiteral("X"));
        TData1 session(db.link());
        const QString del = QStringLiteral("delete from diskinfo where DiskID=? ");
        for (int id : {2, 4, 6}) {
            qint64 affected = -1;
            QVERIFY(session.execInTransaction(TData1::Query::Curve, del, {id}, &affected));
            QCOMPARE(affected, 1);
            // A select between two deletions on the same query object must not disturb them.
            QCOMPARE(session.select(QStringLiteral("select DiskID from diskinfo where DiskID=?"), {id}).count(), 0);
        }
        const auto rest = db.rows(QStringLiteral("select DiskID from diskinfo order by DiskID"));
        QCOMPARE(rest.size(), 3);
        QCOMPARE(rest.at(0).at(0).toInt(), 1);
        QCOMPARE(rest.at(1).at(0).toInt(), 3);
        QCOMPARE(rest.at(2).at(0).toInt(), 5);
    }

    void straightTextsFollowEveryRunOfAStatement()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.exec(QStringLiteral("create table t (k varchar(4), v varchar(300))"));
        TData1 session(db.link());
        const QString insert = QStringLiteral("insert into t (k, v) values (?, ?)");
        const QVariant null(QMetaType::fromType<QString>());
        const QString longText(200, u'长'); // a bigger buffer, and a long text's type
        // One statement, its values bound in place run after run, some runs in a transaction of
        // their own.
        const struct {
            const char *key;
            QVariant value;
            bool ownTransaction;
        } runs[] = {{"a", QStringLiteral("short"), false}, {"b", longText, false},     {"c", null, false},
                    {"d", QStringLiteral(""), false},          {"e", QStringLiteral("qt"), true}, {"f", QStringLiteral("x"), false},
                    {"g", null, true},                     {"h", QStringLiteral("条码"), false}};
        for (const auto &run : runs) {
            const QVariantList values{QString::fromLatin1(run.key), run.value};
            QVERIFY2(run.ownTransaction ? session.execInTransaction(TData1::Query::SaveData, insert, values)
                                        : session.run(TData1::Query::SaveData, insert, values).ok,
                     run.key);
        }
        const auto rows = db.rows(QStringLiteral("select k, v from t order by k"));
        QCOMPARE(rows.size(), qsizetype(std::size(runs)));
        for (qsizetype i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows.at(i).at(1).isNull(), runs[i].value.isNull());
            QCOMPARE(rows.at(i).at(1).toString(), runs[i].value.toString());
        }
    }

    void selectReadsByNameWithNullsAndExactCount()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(10, QVariant(QMetaType::fromType<int>()), QStringLiteral("N1"));
        db.insertDisk(11, 4, QVariant(QMetaType::fromType<QString>()));
        db.insertDisk(12, -7, QStringLiteral("条码"));
        TData1 session(db.link());

        const ResultSet r = session.select(QStringLiteral("select DiskID,DiskNum,Bar from diskinfo order by DiskID"));
        QCOMPARE(r.count(), 3);
        QCOMPARE(r.integer(0, QStringLiteral("DiskNum")), 0);
        QVERIFY(r.isNull(0, QStringLiteral("DiskNum")));
        QCOMPARE(r.text(1, QStringLiteral("Bar")), QString());
        QVERIFY(r.isNull(1, QStringLiteral("Bar")));
        QVERIFY(!r.isNull(2, QStringLiteral("Bar")));
        QCOMPARE(r.text(2, QStringLiteral("BAR")), QStringLiteral("条码")); // names ignore case
        QCOMPARE(r.integer(2, QStringLiteral("diskid")), 12);
        QCOMPARE(r.integer(2, QStringLiteral("DiskNum")), -7);
        QVERIFY_THROWS_EXCEPTION(Error, r.text(0, QStringLiteral("NoSuchColumn")));
        QVERIFY_THROWS_EXCEPTION(Error, r.text(3, QStringLiteral("Bar"))); // past the rows the server gave

        QCOMPARE(session.select(QStringLiteral("select Bar from diskinfo where DiskID > ?"), {100}).count(), 0);
        QVERIFY_THROWS_EXCEPTION(Error, session.select(QStringLiteral("select Bar from nosuchtable")));
    }

    // Rows over several fetch blocks, a text column too long to fetch in blocks, and the same
    // statements again: every row once, in order, on the same prepared statements.
    void longSelectsComeWholeAndInOrder()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.exec(QStringLiteral("with recursive g(i) as (select 1 union all select i + 1 from g where i < 1300) "
                               "insert into diskinfo (DiskID, DiskNum, Bar) select i, i % 7, 'B' || i from g"));
        TData1 session(db.link());
        const QString tail(600, u'x'); // past the size some drivers give a varchar without a limit
        const QList<std::pair<QString, QString>> texts{{QStringLiteral("Bar"), QString()},
                                                       {QStringLiteral("cast(Bar as text)"), QString()},
                                                       {QStringLiteral("cast(Bar || '%1' as varchar)").arg(tail), tail}};
        for (const auto &text : texts) {
            // Named, not bound: clang before 16 cannot capture a structured binding in a lambda.
            const QString &bar = text.first;
            const QString &suffix = text.second;
            for (int pass = 0; pass < 2; ++pass) {
                qint64 next = 1;
                const QStringList columns = session.selectEach(
                    QStringLiteral("select DiskID, DiskNum, %1 as Bar from diskinfo order by DiskID").arg(bar), {},
                    [&](const RowView &row) {
                        if (row.integer(0) != next || row.integer(1) != next % 7
                            || row.text(2) != QStringLiteral("B%1").arg(next) + suffix)
                            return false;
                        ++next;
                        return true;
                    });
                QCOMPARE(next, 1301);
                QCOMPARE(columns.size(), 3);
            }
        }
        QCOMPARE(session.select(QStringLiteral("select Bar from diskinfo where DiskID = ?"), {1300}).text(0, QStringLiteral("Bar")),
                 QStringLiteral("B1300"));
    }

    void quoteInValueIsData()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(1, 1, QStringLiteral("O'Brien"));
        db.insertDisk(2, 1, QStringLiteral("safe"));
        TData1 session(db.link());

        const ResultSet r = session.select(QStringLiteral("select DiskID,DiskNum from diskinfo where Bar=? "), {QStringLiteral("O'Brien")});
        QCOMPARE(r.count(), 1);
        QCOMPARE(r.integer(0, QStringLiteral("DiskID")), 1);
        // A value built to widen the statement matches nothing and deletes nothing.
        qint64 affected = -1;
        QVERIFY(session.execInTransaction(TData1::Query::Curve, QStringLiteral("delete from diskinfo where Bar=? "),
                                          {QStringLiteral("x' or '1'='1")}, &affected));
        QCOMPARE(affected, 0);
        QCOMPARE(countRows(db, QStringLiteral("diskinfo")), 2);
    }

    void failingBeginThrows()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("a begin that fails is provoked through SQLite's nested-transaction refusal");
        ScratchDatabase db(backend);
        db.createDiskinfo();
        TData1 session(db.link());
        session.execDirect(QStringLiteral("begin"));
        QVERIFY_THROWS_EXCEPTION(Error, session.execInTransaction(TData1::Query::Curve,
                                                                   QStringLiteral("delete from diskinfo")));
    }

    void openFailuresAreConnectionErrors()
    {
        QFETCH_GLOBAL(QString, backend);
        DataLink link;
        QString secret = QStringLiteral("Sup3rSecretPw");
        if (backend == QLatin1String("postgres")) {
            link.kind = DataLink::Kind::Odbc;
            link.password = secret;
            QString conn = test::postgresConnectionString();
            conn.replace(QRegularExpression(QStringLiteral("Pwd=[^;]*")), QStringLiteral("Pwd=") + secret);
            link.odbcConnection = conn;
        } else {
            link.kind = DataLink::Kind::Sqlite;
            link.sqliteFile = QStringLiteral("/nonexistent/folder/missing.db");
        }
        try {
            TData1 session(link);
            QFAIL("opening should have failed");
        } catch (const ConnectionError &e) {
            QVERIFY2(!e.message().contains(secret), qPrintable(e.message()));
            QVERIFY(!e.message().isEmpty());
        }
        // Nothing was created in the SQLite case.
        QVERIFY(!QFile::exists(QStringLiteral("/nonexistent/folder/missing.db")));
    }

    void hostRunsJobsOnItsOwnThread()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(1, 1, QStringLiteral("A"));
        SessionHost host;
        host.open(db.link());
        QVERIFY(host.isOpen());

        struct Count {
            JobEnding ending;
            int rows = -1;
            QThread *thread = nullptr;
        };
        QList<Count> outcomes;
        QThread *doneThread = nullptr;
        const auto token = std::make_shared<CancelToken>();
        const std::function<void(Count)> done = [&](Count c) {
            outcomes << c;
            doneThread = QThread::currentThread();
        };
        host.post<Count>(token, [](Connection &c, const CancelToken &) {
            Recorder sink;
            return Count{JobEnding::done(), c.session(sink).select(QStringLiteral("select DiskID from diskinfo")).count(),
                         QThread::currentThread()};
        }, this, done);
        // An exception the job lets escape arrives as a failed ending.
        host.post<Count>(token, [](Connection &c, const CancelToken &) {
            Recorder sink;
            c.session(sink).select(QStringLiteral("select nothing from nowhere"));
            return Count{};
        }, this, done);
        QTRY_COMPARE(outcomes.size(), 2);
        QVERIFY(outcomes.at(0).thread && outcomes.at(0).thread != QThread::currentThread());
        QCOMPARE(doneThread, QThread::currentThread());
        QCOMPARE(outcomes.at(0).rows, 1);
        QVERIFY(outcomes.at(0).ending.isDone());
        QVERIFY(outcomes.at(1).ending.isFailed());
        QVERIFY(!outcomes.at(1).ending.message.isEmpty());

        // call() waits and rethrows on the caller's thread.
        QVERIFY_THROWS_EXCEPTION(Error, host.call([](Connection &c) {
            Recorder sink;
            c.session(sink).select(QStringLiteral("select x from nowhere"));
        }));
    }

    // After the server dropped the connection, the job that finds it fails, and the next job
    // opens the connection again first and says so.
    void reconnectsAfterTheConnectionWasLost()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgres"))
            QSKIP("needs a server whose connection can be cut from outside");
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(1, 1, QStringLiteral("A"));
        Connection connection(db.link());
        connection.open();
        Recorder sink;
        const int pid = connection.session(sink).select(QStringLiteral("select pg_backend_pid() as pid")).integer(0, QStringLiteral("pid"));
        db.exec(QStringLiteral("select pg_terminate_backend(?)"), {pid});
        QVERIFY_THROWS_EXCEPTION(Error, connection.session(sink).select(QStringLiteral("select DiskID from diskinfo")));
        QVERIFY(sink.logs.isEmpty());
        QCOMPARE(connection.session(sink).select(QStringLiteral("select DiskID from diskinfo")).count(), 1);
        QCOMPARE(sink.logs, QStringList({"已重新连接数据库"}));
    }

    // On psqlODBC a statement is written out by the driver (one round trip a run, none to parse
    // and describe it first) unless the session runs its statements many times, or the
    // connection asks for server-side preparation itself.
    void psqlOdbcPreparesOnTheServerOnlyWhereItPays()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgres"))
            QSKIP("a setting of psqlODBC");
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(1, 1, QStringLiteral("A"));
        const struct {
            const char *connection;
            TData1::Reuse reuse;
            bool prepared;
        } cases[] = {{"", TData1::Reuse::Few, false},
                     {";UseServerSidePrepare=1", TData1::Reuse::Few, true},
                     {"", TData1::Reuse::Many, true},
                     {";usesERVERsIDEpREPARE=0", TData1::Reuse::Many, false}};
        for (const auto &c : cases) {
            DataLink link = db.link();
            link.odbcConnection += QLatin1String(c.connection);
            TData1 session(link, c.reuse);
            for (int run = 0; run < 2; ++run)
                QCOMPARE(session.select(QStringLiteral("select DiskID from diskinfo where DiskID=?"), {1}).count(), 1);
            const auto prepared = session.select(QStringLiteral("select count(*) as n from pg_prepared_statements"), {});
            QCOMPARE(prepared.count(), 1);
            QVERIFY2((prepared.value(0, QStringLiteral("n")).toInt() > 0) == c.prepared, c.connection);
        }
    }

    // A statement waiting on another session's lock gives up at the time limit and says how to
    // raise it.
    void statementTimeLimit()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDisk(1, 1, QStringLiteral("A"));
        DataLink link = db.link();
        link.commandTimeout = 1;
        TData1 session(link);
        QSqlDatabase blocker = QSqlDatabase::cloneDatabase(db.db(), QStringLiteral("blocker"));
        QVERIFY(blocker.open());
        {
            QSqlQuery lock(blocker);
            QVERIFY(blocker.transaction());
            QVERIFY(lock.exec(db.isPostgres()     ? QStringLiteral("lock table diskinfo in access exclusive mode")
                              : db.isSqlServer() ? QStringLiteral("select count(*) from diskinfo with (tablockx, holdlock)")
                                              : QStringLiteral("delete from diskinfo where DiskID=99")));
            QElapsedTimer clock;
            clock.start();
            QString reason;
            try {
                // SQLite waits for the other writer when the transaction begins, which then fails.
                QVERIFY(!session.execInTransaction(TData1::Query::Curve, QStringLiteral("delete from diskinfo where DiskID=?"),
                                                   {1}, nullptr, &reason));
                QVERIFY(!db.isSqlite());
            } catch (const Error &e) {
                QVERIFY(db.isSqlite());
                reason = e.message();
            }
            QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY2(reason.contains(QLatin1String("Command Timeout")), qPrintable(reason));
            blocker.rollback();
        }
        blocker.close();
        blocker = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("blocker"));
        QVERIFY(session.execInTransaction(TData1::Query::Curve, QStringLiteral("delete from diskinfo where DiskID=?"), {1}));
        QCOMPARE(countRows(db, QStringLiteral("diskinfo")), 0);
    }

    // Every statement the program can send parses as T-SQL (Debian's sqlfluff stands in for a
    // SQL Server, which cannot run here), placeholders written as T-SQL parameters.
    // What the import batches by: a column holding text, not a number the server turns the
    // bound codes into.
    // What the import batches by: a column holding text, not a number the server turns the
    // bound codes into. `sqlServer`: the base type SQL Server names for the same, answered by
    // the recording TDS endpoint (on the SQLite row).
    void columnsThatCompareAsText_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("sqlServer");
        QTest::addColumn<bool>("text");
        QTest::newRow("varchar") << QStringLiteral("varchar(20)") << QStringLiteral("varchar") << true;
        QTest::newRow("char") << QStringLiteral("char(5)") << QStringLiteral("nchar") << true;
        QTest::newRow("text") << QStringLiteral("text") << QStringLiteral("nvarchar") << true;
        QTest::newRow("integer") << QStringLiteral("integer") << QStringLiteral("int") << false;
        QTest::newRow("bigint") << QStringLiteral("bigint") << QStringLiteral("bigint") << false;
        QTest::newRow("numeric") << QStringLiteral("numeric(13)") << QStringLiteral("decimal") << false;
        QTest::newRow("real") << QStringLiteral("real") << QStringLiteral("float") << false;
        QTest::newRow("no type (SQLite)") << QString() << QString() << true;
    }

    void columnsThatCompareAsText()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, type);
        QFETCH(QString, sqlServer);
        QFETCH(bool, text);
        ScratchDatabase db(backend);
        if (type.isEmpty() && !db.isSqlite())
            QSKIP("SQLite's untyped columns");
        db.exec(QStringLiteral("create table BD_Material (BD_MName varchar(10), BD_MCode %1)").arg(type));
        {
            TData1 session(db.link());
            QCOMPARE(catalog::comparesAsText(session, QStringLiteral("BD_Material"), QStringLiteral("BD_MCode")), text);
            // A column the catalogue does not know is taken as text, as before it was asked.
            QVERIFY(catalog::comparesAsText(session, QStringLiteral("BD_Material"), QStringLiteral("NoSuchColumn")));
        }
#if !defined(__SANITIZE_THREAD__) // ThreadSanitizer does not let a threaded program start a process
        if (db.isSqlite() && !sqlServer.isEmpty()) {
            const QJsonObject rule{{QStringLiteral("match"), QStringLiteral("type_name\\(system_type_id\\)")},
                                   {QStringLiteral("columns"), QJsonArray{QStringLiteral("type")}},
                                   {QStringLiteral("rows"), QJsonArray{QJsonArray{sqlServer}}}};
            test::TdsEndpoint endpoint(QJsonObject{{QStringLiteral("rules"), QJsonArray{rule}}});
            if (!endpoint.isRunning())
                QSKIP(qPrintable(endpoint.why()));
            TData1 session(endpoint.link());
            QCOMPARE(catalog::comparesAsText(session, QStringLiteral("BD_Material"), QStringLiteral("BD_MCode")), text);
        }
#endif
    }

    void statementsAreTSql()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("sqlite"))
            QSKIP("no database involved");
#if defined(__SANITIZE_THREAD__)
        QSKIP("ThreadSanitizer does not let a threaded program start a process; the plain build runs it");
#endif
        const QString sqlfluff = QStandardPaths::findExecutable(QStringLiteral("sqlfluff"));
        if (sqlfluff.isEmpty())
            QSKIP("sqlfluff is not installed (scripts/install-deps.sh installs it)");
        QTemporaryDir dir;
        QStringList files;
        const QStringList statements = sql::all();
        for (qsizetype i = 0; i < statements.size(); ++i) {
            QString text = statements.at(i);
            for (int n = 1; text.contains(u'?'); ++n)
                text.replace(text.indexOf(u'?'), 1, QStringLiteral("@p%1").arg(n));
            files << test::writeFile(dir.filePath(QStringLiteral("s%1.sql").arg(i)), text.toUtf8() + "\n");
        }
        QProcess check;
        check.start(sqlfluff, {QStringLiteral("parse"), QStringLiteral("--dialect"), QStringLiteral("tsql"), dir.path()});
        QVERIFY(check.waitForFinished(120000));
        const QString out = QString::fromUtf8(check.readAllStandardOutput() + check.readAllStandardError());
        QVERIFY2(check.exitCode() == 0 && !out.contains(QLatin1String("unparsable")), qPrintable(out.right(3000)));
        QCOMPARE(int(out.count(QStringLiteral("|file:"))), int(files.size())); // every statement was read
    }

    void hostOpenRethrowsConnectionError()
    {
        SessionHost host;
        DataLink link;
        link.kind = DataLink::Kind::Sqlite;
        link.sqliteFile = QStringLiteral("/nonexistent/x.db");
        QVERIFY_THROWS_EXCEPTION(ConnectionError, host.open(link));
        QVERIFY(!host.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
