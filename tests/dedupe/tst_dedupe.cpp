// The duplicate search and removal against SQLite and PostgreSQL (through ODBC).
#include "data/Error.h"
#include "data/Job.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "data/Statements.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/DuplicateSearch.h"
#include "support/PathWatch.h"
#include "support/ReferenceSearch.h"
#include "support/TestDatabase.h"
#include "text/CodePage.h"
#include "text/Csv.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace chongma;
using chongma::test::ScratchDatabase;

namespace {

struct Recorder : OperationSink {
    QStringList logs, errors;
    std::function<void()> afterLog;
    void addLog(const QString &line) override
    {
        logs << line;
        if (afterLog)
            afterLog();
    }
    void addError(const QString &line) override { errors << line; }
};

// A number token as a column of this type stores it: whole numbers bound as such, anything else
// as its digits, which the server reads exactly.
QVariant numberValue(const QString &token, const QString &type)
{
    const bool whole = type == QLatin1String("integer") || type == QLatin1String("bigint");
    if (token == QLatin1String("null"))
        return QVariant(whole ? QMetaType::fromType<qlonglong>() : QMetaType::fromType<QString>());
    return whole ? QVariant(token.toLongLong()) : QVariant(token);
}

// Rows as "DiskID,DiskNum,Bar;..." with "null" for NULL; a Bar may hold anything but ',' and ';'.
void fill(ScratchDatabase &db, const QString &rows, const QString &idType = QStringLiteral("integer"),
          const QString &numType = QStringLiteral("integer"))
{
    db.exec(QStringLiteral("create table diskinfo (DiskID %1, DiskNum %2, Bar varchar(100))").arg(idType, numType));
    for (const QString &row : rows.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList f = row.split(QLatin1Char(','));
        QCOMPARE(f.size(), 3);
        db.insertDisk(numberValue(f[0], idType), numberValue(f[1], numType),
                      f[2] == QLatin1String("null") ? QVariant(QMetaType::fromType<QString>()) : QVariant(f[2]));
    }
}

// A trigger that changes what deleting row 4 does: "keeps 4" skips it without an error,
// "takes the rest of 4's barcode" deletes the other rows of its barcode too.
void addTrigger(ScratchDatabase &db, const QString &kind)
{
    const bool keeps = kind == QLatin1String("keeps 4");
    QVERIFY(keeps || kind == QLatin1String("takes the rest of 4's barcode"));
    if (db.isPostgres()) {
        db.exec(keeps ? QStringLiteral("create function on_delete() returns trigger language plpgsql as $$ "
                                       "begin if old.DiskID = 4 then return null; end if; return old; end $$")
                      : QStringLiteral("create function on_delete() returns trigger language plpgsql as $$ "
                                       "begin if old.DiskID = 4 then delete from diskinfo where Bar = old.Bar; end if; "
                                       "return old; end $$"));
        db.exec(QStringLiteral("create trigger t %1 delete on diskinfo for each row execute function on_delete()")
                    .arg(keeps ? QStringLiteral("before") : QStringLiteral("after")));
    } else if (db.isSqlServer()) {
        db.exec(keeps ? QStringLiteral("create trigger t on diskinfo instead of delete as begin set nocount on; "
                                       "delete d from diskinfo d join deleted x on x.DiskID = d.DiskID and x.Bar = d.Bar "
                                       "where x.DiskID <> 4; end")
                      : QStringLiteral("create trigger t on diskinfo after delete as begin set nocount on; "
                                       "delete from diskinfo where Bar in (select Bar from deleted where DiskID = 4); end"));
    } else {
        db.exec(keeps ? QStringLiteral("create trigger t before delete on diskinfo when old.DiskID = 4 "
                                       "begin select raise(ignore); end")
                      : QStringLiteral("create trigger t after delete on diskinfo when old.DiskID = 4 "
                                       "begin delete from diskinfo where Bar = old.Bar; end"));
    }
}

// The search's findings as "Bar=id;..." with '-' where no row could be picked.
QString describe(const SearchResult &r)
{
    QStringList parts;
    for (const DuplicatePick &p : r.duplicates)
        parts << p.barcode + QLatin1Char('=') + (p.diskId ? QString::number(*p.diskId) : QStringLiteral("-"));
    return parts.join(QLatin1Char(';'));
}

SearchResult searchAll(TData1 &session)
{
    Recorder sink;
    CancelToken cancel;
    return dedupe::findDuplicates(session, sink, cancel);
}

// A confirmed removal of what the search picked, del.log and backup in `dir`.
RemovalOutcome removeAll(TData1 &session, const RemovalPlan &plan, const QString &dir, Recorder &sink)
{
    CancelToken cancel;
    return dedupe::runRemoval(session, plan,
                              {dir + QStringLiteral("/del.log"), dir + QStringLiteral("/backup/diskinfo.csv")}, sink, cancel);
}

// As removeAll, and on PostgreSQL the pick table's row count as its planner holds it when the
// first batch deletes (statistics it never gathers itself for a temporary table; -1 unknown).
RemovalOutcome removeWatchingPickStatistics(TData1 &session, const RemovalPlan &plan, ScratchDatabase &db, Recorder &sink,
                                            qint64 &plannedPicks)
{
    if (db.isPostgres())
        session.setExecutionObserver(
            [&](const QString &sql, const QVariantList &, const std::vector<ParameterDeclaration> &) {
                if (plannedPicks == -2 && sql.contains(QLatin1String("delete from diskinfo")))
                    plannedPicks = db.rows(QStringLiteral("select reltuples from pg_class where relname = 'chongma_picks' "
                                                          "order by oid desc limit 1"))
                                       .value(0)
                                       .value(0)
                                       .toLongLong();
            });
    const RemovalOutcome outcome = removeAll(session, plan, db.dir(), sink);
    session.setExecutionObserver({});
    return outcome;
}

QList<qint64> remainingIds(ScratchDatabase &db)
{
    QList<qint64> ids;
    for (const QVariantList &row : db.rows(QStringLiteral("select DiskID from diskinfo where DiskID is not null order by DiskID")))
        ids << row.at(0).toLongLong();
    return ids;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Every row of diskinfo, every column as text ("<null>" for NULL), in a fixed order.
QStringList tableText(ScratchDatabase &db, const QString &order)
{
    QStringList rows;
    for (const QVariantList &row : db.rows(QStringLiteral("select * from diskinfo order by %1").arg(order))) {
        QStringList cells;
        for (const QVariant &v : row)
            cells << (v.isNull() ? QStringLiteral("<null>") : v.toString());
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

} // namespace

class TestDedupe : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data() { test::addBackendRows(); }

    void search_data()
    {
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("found");
        QTest::addColumn<QString>("idType");
        QTest::addColumn<QString>("numType");
        const QString integer = QStringLiteral("integer");
        QTest::newRow("empty table") << QString() << QString() << integer << integer;
        QTest::newRow("no duplicates") << "1,5,A;2,5,B;3,5,C" << QString() << integer << integer;
        QTest::newRow("3 and 7: the 7") << "1,3,A;2,7,A" << "A=2" << integer << integer;
        QTest::newRow("7 and 3: the 7") << "1,7,A;2,3,A" << "A=1" << integer << integer;
        QTest::newRow("5, 9, 9: tie to the greatest DiskID") << "30,9,A;10,5,A;20,9,A" << "A=30" << integer << integer;
        QTest::newRow("all equal: the greatest DiskID") << "4,2,A;9,2,A;6,2,A" << "A=9" << integer << integer;
        QTest::newRow("NULL DiskNum counts as 0") << "1,null,A;2,-1,A" << "A=1" << integer << integer;
        QTest::newRow("NULL DiskNum loses to 1") << "1,null,A;2,1,A" << "A=2" << integer << integer;
        QTest::newRow("below -1000 still picks a row") << "1,-5000,A;2,-3000,A" << "A=2" << integer << integer;
        QTest::newRow("picked row without DiskID: nothing, not the row kept") << "null,9,X;5,1,X" << "X=-" << integer << integer;
        QTest::newRow("tie: a usable id wins over NULL") << "null,5,A;3,5,A" << "A=3" << integer << integer;
        QTest::newRow("only NULL DiskIDs: listed, nothing picked") << "null,1,M;null,2,M" << "M=-" << integer << integer;
        QTest::newRow("repeated id, both rows alike") << "5,1,A;5,1,A" << "A=-" << integer << integer;
        QTest::newRow("repeated id on the picked row") << "7,1,B;7,2,B;8,0,B" << "B=-" << integer << integer;
        QTest::newRow("tie: a unique id wins over a repeated one") << "5,5,A;5,5,A;3,5,A" << "A=3" << integer << integer;
        QTest::newRow("the same id under another barcode is no repeat") << "5,1,A;6,0,A;5,1,B;7,0,B" << "A=5;B=5" << integer << integer;
        QTest::newRow("64-bit ids") << "4294967297,2,A;4294967298,1,A" << "A=4294967297" << QStringLiteral("bigint") << integer;
        QTest::newRow("fractional id is never rounded") << "5.7,9,X;6,1,X" << "X=-" << QStringLiteral("real") << integer;
        QTest::newRow("whole numeric id") << "5.00,9,X;6.00,1,X" << "X=5" << QStringLiteral("numeric(10,2)") << integer;
        QTest::newRow("NULL and empty barcodes") << "1,1,null;2,1,null;3,4,;4,2," << "=3" << integer << integer;
        QTest::newRow("NULL barcodes alone are no barcode") << "1,1,null;2,1,null" << QString() << integer << integer;
        QTest::newRow("quote in a barcode") << "1,1,A'B;2,2,A'B;3,9,A" << "A'B=2" << integer << integer;
        QTest::newRow("Chinese barcode") << "1,8,条码甲;2,2,条码甲;3,1,条码乙" << "条码甲=1" << integer << integer;
        QTest::newRow("ascending barcode order") << "1,1,Z;2,1,Z;3,1,B;4,1,B;5,1,M;6,2,M" << "B=4;M=6;Z=2" << integer << integer;
        // DiskNum compared exactly as the server holds it, never rounded.
        QTest::newRow("5.7 loses to 6") << "10,5.7,N3;2,6,N3" << "N3=2" << integer << QStringLiteral("real");
        QTest::newRow("5.4 beats 5") << "21,5.4,N4;22,5,N4" << "N4=21" << integer << QStringLiteral("real");
        QTest::newRow("numeric 5.7 loses to 6") << "10,5.7,N3;2,6.0,N3" << "N3=2" << integer << QStringLiteral("numeric(10,2)");
        QTest::newRow("numeric tie goes to the greatest id") << "3,2.50,T;8,2.5,T" << "T=8" << integer << QStringLiteral("numeric(10,2)");
        QTest::newRow("a DiskID held as text names no row") << "5,1,T;6,2,T" << "T=-" << QStringLiteral("varchar(10)") << integer;
        QTest::newRow("numeric ids beyond 2^53") << "9007199254740993,2,A;9007199254740994,1,A" << "A=9007199254740993"
                                                 << QStringLiteral("numeric(20,0)") << integer;
    }

    void search()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, rows);
        QFETCH(QString, found);
        QFETCH(QString, idType);
        QFETCH(QString, numType);
        ScratchDatabase db(backend);
        fill(db, rows, idType, numType);
        TData1 session(db.link());
        Recorder sink;
        CancelToken cancel;
        test::PathWatch watch(session);
        const SearchResult result = dedupe::findDuplicates(session, sink, cancel);
        QVERIFY2(result.ending.isDone(), qPrintable(result.ending.message));
        QCOMPARE(describe(result), found);
        // The search went through the fast path, every statement of it.
        QCOMPARE(session.pathName(), test::fastPathName(backend));
        const qint64 firstSearch = watch.ran();
        QVERIFY(watch.statements() > 0);
        QVERIFY2(firstSearch >= watch.statements(), qPrintable(QString::number(firstSearch)));
        QVERIFY(watch.alwaysRose());
        // Every duplicated barcode reached the error list, in order, even without a pick; a
        // barcode without one says why.
        QCOMPARE(sink.errors, result.barcodes());
        for (const DuplicatePick &p : result.duplicates)
            QCOMPARE(p.reason.isEmpty(), bool(p.diskId));
        // Two searches of one table list the same thing.
        QCOMPARE(describe(searchAll(session)), found);
        QVERIFY(watch.ran() > firstSearch);
        QVERIFY(watch.alwaysRose());
    }

    // The grouped search picks exactly what the barcode-by-barcode search picks, on tables full
    // of ties, NULLs, repeated, large and missing ids.
    void groupedSearchMatchesTheReference_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<QString>("barType");
        for (quint32 seed : {1u, 2u, 3u, 4u, 5u})
            QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed << QStringLiteral("varchar(100)");
        // SQLite reads the duplicated barcodes of a table without an index on Bar from a table of
        // its own: still as the column compares them.
        QTest::newRow("seed 6, case-blind (SQLite)") << 6u << QStringLiteral("varchar(100) collate nocase");
        QTest::newRow("seed 7, no type (SQLite)") << 7u << QString();
    }

    void groupedSearchMatchesTheReference()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(quint32, seed);
        QFETCH(QString, barType);
        if (barType != QLatin1String("varchar(100)") && backend != QLatin1String("sqlite"))
            QSKIP("SQLite's own column forms");
        ScratchDatabase db(backend);
        db.exec(QStringLiteral("create table diskinfo (DiskID bigint, DiskNum integer, Bar %1)").arg(barType));
        QRandomGenerator random(seed);
        const QStringList bars{QStringLiteral("A"),   QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D"),
                               QStringLiteral("E"),   QStringLiteral("F"), QStringLiteral(""),  QStringLiteral("条码"),
                               QStringLiteral("x'y"), QStringLiteral("Z"), QStringLiteral("a")};
        QStringList statements;
        for (int i = 0; i < 200; ++i) {
            const int pick = random.bounded(20);
            const QString id = pick == 0 ? QStringLiteral("null")
                             : pick == 1 ? QString::number(4294967296LL + random.bounded(5))
                                         : QString::number(random.bounded(60));
            const int numPick = random.bounded(8);
            const QString num = numPick == 0 ? QStringLiteral("null") : QString::number(numPick - 3);
            const int barPick = random.bounded(int(bars.size()) + 1);
            const QString bar = barPick == bars.size() ? QStringLiteral("null")
                                                       : u'\'' + QString(bars.at(barPick)).replace(u'\'', QStringLiteral("''")) + u'\'';
            statements << QStringLiteral("(%1, %2, %3)").arg(id, num, bar);
        }
        db.exec(QStringLiteral("insert into diskinfo (DiskID, DiskNum, Bar) values ") + statements.join(QStringLiteral(", ")));
        TData1 session(db.link());
        CancelToken cancel;
        Recorder grouped, oneByOne;
        const SearchResult fast = dedupe::findDuplicates(session, grouped, cancel);
        const SearchResult reference = test::findDuplicatesOneByOne(session, oneByOne, cancel);
        QVERIFY(fast.ending.isDone() && reference.ending.isDone());
        QVERIFY(!reference.duplicates.isEmpty());
        // A case-blind group is named by one of its texts, which the two searches choose apart
        // ("a" or "A"); the rows they find and pick are the same.
        const bool caseBlind = barType.contains(QLatin1String("nocase"));
        QCOMPARE(caseBlind ? describe(fast).toCaseFolded() : describe(fast),
                 caseBlind ? describe(reference).toCaseFolded() : describe(reference));
        for (qsizetype i = 0; !caseBlind && i < fast.duplicates.size(); ++i) {
            QCOMPARE(fast.duplicates.at(i).reason, reference.duplicates.at(i).reason);
            QCOMPARE(fast.duplicates.at(i).rowBar, reference.duplicates.at(i).rowBar);
        }
        if (!caseBlind)
            QCOMPARE(grouped.errors, oneByOne.errors);
        // With an index on Bar the search is one statement on every server: the same result.
        db.exec(QStringLiteral("create index diskinfo_bar on diskinfo (Bar)"));
        Recorder indexedSink;
        const SearchResult indexed = dedupe::findDuplicates(session, indexedSink, cancel);
        QVERIFY(indexed.ending.isDone());
        QCOMPARE(describe(indexed), describe(fast));
        for (qsizetype i = 0; i < fast.duplicates.size(); ++i) {
            QCOMPARE(indexed.duplicates.at(i).reason, fast.duplicates.at(i).reason);
            QCOMPARE(indexed.duplicates.at(i).rowBar, fast.duplicates.at(i).rowBar);
        }
        QCOMPARE(indexedSink.errors, grouped.errors);
    }

    // The batched removal leaves the table and the run log exactly as deleting the picks one by
    // one does, on tables full of ties, NULLs and repeated ids, with and without an index on
    // Bar (small batches through it, few large ones without).
    void removalMatchesRowByRow_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<bool>("barIndex");
        QTest::addColumn<int>("repeats"); // one row in this many has an id other rows have too
        QTest::addColumn<bool>("idIndex");
        QTest::newRow("ids of their own, index on Bar") << 11u << true << 400 << false;
        QTest::newRow("ids of their own, no index") << 11u << false << 400 << false;
        QTest::newRow("repeated ids, index on Bar") << 12u << true << 40 << false;
        QTest::newRow("repeated ids, no index") << 12u << false << 40 << false;
        QTest::newRow("repeated ids, index on DiskID") << 12u << false << 40 << true;
    }

    void removalMatchesRowByRow()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(quint32, seed);
        QFETCH(bool, barIndex);
        QFETCH(int, repeats);
        QFETCH(bool, idIndex);
        QRandomGenerator random(seed);
        QStringList values;
        for (int i = 0; i < 4000; ++i) {
            // Mostly ids of their own, so most batches hold; a few NULL and repeated ones.
            const int idPick = random.bounded(repeats);
            const QString id = idPick == 0   ? QStringLiteral("null")
                             : idPick == 1 ? QString::number(random.bounded(40))
                                           : QString::number(1000 + i);
            const int bar = random.bounded(1500);
            values << QStringLiteral("(%1, %2, %3)")
                          .arg(id)
                          .arg(random.bounded(5))
                          .arg(bar == 0 ? QStringLiteral("null") : QStringLiteral("'B%1'").arg(bar));
        }
        QList<QStringList> logs;
        QList<QStringList> tables;
        for (bool batched : {true, false}) {
            ScratchDatabase db(backend);
            db.exec(QStringLiteral("create table diskinfo (DiskID bigint, DiskNum integer, Bar varchar(100))"));
            if (barIndex)
                db.exec(QStringLiteral("create index diskinfo_bar on diskinfo (Bar)"));
            if (idIndex)
                db.exec(QStringLiteral("create index diskinfo_id on diskinfo (DiskID)"));
            for (qsizetype from = 0; from < values.size(); from += 500)
                db.exec(QStringLiteral("insert into diskinfo (DiskID, DiskNum, Bar) values ") + values.mid(from, 500).join(u','));
            TData1 session(db.link());
            const RemovalPlan plan = RemovalPlan::fromSearch(searchAll(session));
            QVERIFY(plan.count() > 1000);
            Recorder sink;
            if (batched) {
                qint64 plannedPicks = -2;
                const RemovalOutcome outcome = removeWatchingPickStatistics(session, plan, db, sink, plannedPicks);
                QVERIFY2(outcome.ending.isDone(), qPrintable(outcome.ending.message));
                sink.logs.removeFirst(); // the backup's line
                // The few large batches without an index are planned from the pick table's
                // count; batches an index can serve keep the guess (-1) that keeps them on it.
                // Each chunk is loaded whole, its last pick repeated.
                if (db.isPostgres() && (barIndex || idIndex))
                    QCOMPARE(plannedPicks, -1);
                else if (db.isPostgres())
                    QVERIFY2(plannedPicks >= plan.count() && plannedPicks < plan.count() + sql::kPicksPerChunk,
                             qPrintable(QString::number(plannedPicks)));
            } else {
                for (const RemovalPick &pick : plan.picks) {
                    const dedupe::DeleteResult r = dedupe::DeleteDisk(session, pick.id, pick.bar);
                    sink.logs << (r == dedupe::DeleteResult::Deleted ? QStringLiteral("删除重码:")
                                  : r == dedupe::DeleteResult::Gone  ? QStringLiteral("重码已不存在:")
                                                                     : QStringLiteral("重码未删除:"))
                                     + QString::number(pick.id);
                }
            }
            logs << sink.logs;
            tables << tableText(db, QStringLiteral("DiskID, DiskNum, Bar"));
        }
        QCOMPARE(logs.at(0), logs.at(1));
        QCOMPARE(tables.at(0), tables.at(1));
    }

    void cancelledSearchKeepsNothing()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A;3,1,B;4,2,B"));
        TData1 session(db.link());
        Recorder sink;
        CancelToken cancel;
        cancel.cancel();
        const SearchResult result = dedupe::findDuplicates(session, sink, cancel);
        QVERIFY(result.ending.isStopped());
        QVERIFY(result.duplicates.isEmpty());
        QCOMPARE(RemovalPlan::fromSearch(result).count(), 0);
    }

    void threeRowsNeedTwoRounds()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,T;2,2,T;3,3,T;4,1,U"));
        TData1 session(db.link());
        QStringList rounds;
        for (int round = 0; round < 3; ++round) {
            const SearchResult r = searchAll(session);
            rounds << describe(r);
            Recorder sink;
            const RemovalOutcome outcome = removeAll(session, RemovalPlan::fromSearch(r), db.dir(), sink);
            QVERIFY(outcome.ending.isDone());
            QVERIFY(outcome.refused.isEmpty());
            QCOMPARE(outcome.deleted, r.pickedIds().size());
        }
        QCOMPARE(rounds, QStringList({QStringLiteral("T=3"), QStringLiteral("T=2"), QString()}));
        QCOMPARE(remainingIds(db), QList<qint64>({1, 4}));
    }

    // What happens to the table between the search and the removal, and what the removal then
    // does: it deletes exactly the picked row, or nothing.
    void removal_data()
    {
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<QStringList>("logs");
        QTest::addColumn<QList<qint64>>("remaining");
        QTest::newRow("nothing changed") << "1,1,A;2,2,A;3,1,B;4,2,B" << QString()
                                         << QStringList({"删除重码:2", "删除重码:4"}) << QList<qint64>({1, 3});
        QTest::newRow("a picked row changed its barcode")
            << "1,1,A;2,2,A;3,1,B;4,2,B;5,1,C;6,2,C" << "update diskinfo set Bar='Z' where DiskID=4"
            << QStringList({"删除重码:2", "重码已不存在:4", "删除重码:6"}) << QList<qint64>({1, 3, 4, 5});
        QTest::newRow("a second row took the picked id: neither goes")
            << "5,1,A;6,2,A;7,1,B;8,2,B" << "insert into diskinfo (DiskID, DiskNum, Bar) values (6, 0, 'A')"
            << QStringList({"重码未删除:6", "删除重码:8"}) << QList<qint64>({5, 6, 6, 7});
        // A deletion is judged by what the table holds afterwards, whatever a trigger does to
        // the count the driver reports.
        QTest::newRow("a trigger keeps the row: refused, not taken for gone")
            << "1,1,A;2,2,A;3,1,B;4,2,B;5,1,C;6,2,C" << "trigger:keeps 4"
            << QStringList({"删除重码:2", "重码未删除:4", "删除重码:6"}) << QList<qint64>({1, 3, 4, 5});
        QTest::newRow("a trigger takes another row of the barcode: rolled back")
            << "1,1,A;2,2,A;3,1,B;4,2,B;5,1,C;6,2,C" << "trigger:takes the rest of 4's barcode"
            << QStringList({"删除重码:2", "重码未删除:4", "删除重码:6"}) << QList<qint64>({1, 3, 4, 5});
    }

    void removal()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, rows);
        QFETCH(QString, meanwhile);
        QFETCH(QStringList, logs);
        QFETCH(QList<qint64>, remaining);
        ScratchDatabase db(backend);
        fill(db, rows);
        TData1 session(db.link());
        const RemovalPlan plan = RemovalPlan::fromSearch(searchAll(session));
        if (meanwhile.startsWith(QLatin1String("trigger:")))
            addTrigger(db, meanwhile.mid(8));
        else if (!meanwhile.isEmpty())
            db.exec(meanwhile);
        Recorder sink;
        const RemovalOutcome outcome = removeAll(session, plan, db.dir(), sink);
        QVERIFY2(outcome.ending.isDone(), qPrintable(outcome.ending.message));
        QCOMPARE(sink.logs.mid(1), logs); // after the backup's line
        QVERIFY(sink.logs.first().startsWith(QStringLiteral("已备份:")));
        QCOMPARE(remainingIds(db), remaining);
        QCOMPARE(outcome.refused.size(), int(logs.filter(QStringLiteral("重码未删除:")).size()));
        for (const RefusedRow &row : outcome.refused)
            QVERIFY2(row.reason.contains(QLatin1String("rows")), qPrintable(row.reason));

        // Pressing again: nothing left to delete, and nothing claims otherwise.
        Recorder again;
        const RemovalOutcome second = removeAll(session, plan, db.dir(), again);
        QVERIFY(second.ending.isDone());
        QCOMPARE(second.deleted, 0);
        QCOMPARE(remainingIds(db), remaining);
    }

    // A stop ends the deletions at the next batch; what was deleted stays logged, and del.log
    // and the backup are written all the same.
    void cancelledRemovalKeepsItsLinesAndFiles()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDuplicatePairs(1200);
        TData1 session(db.link());
        const RemovalPlan plan = RemovalPlan::fromSearch(searchAll(session));
        CancelToken cancel;
        Recorder sink;
        sink.afterLog = [&] {
            if (sink.logs.last().startsWith(QStringLiteral("删除重码")))
                cancel.cancel();
        };
        const QString backup = db.dir() + QStringLiteral("/backup/b.csv");
        const RemovalOutcome outcome =
            dedupe::runRemoval(session, plan, {db.dir() + QStringLiteral("/del.log"), backup}, sink, cancel);
        QVERIFY(outcome.ending.isStopped());
        const QStringList deleted = sink.logs.mid(1);
        QVERIFY2(deleted.size() > 0 && deleted.size() < 1200, qPrintable(QString::number(deleted.size())));
        QCOMPARE(deleted.filter(QStringLiteral("删除重码:")).size(), deleted.size());
        QCOMPARE(outcome.deleted, deleted.size());
        QVERIFY(outcome.delLogWritten);
        QCOMPARE(readAll(db.dir() + QStringLiteral("/del.log")).count("\r\n"), 1200);
        QCOMPARE(readAll(backup).count("\r\n"), 1201); // the header and every picked row
        QCOMPARE(remainingIds(db).size(), 2400 - deleted.size());
    }

    // Another connection reads the table all the while: on SQLite a removal cannot commit. It
    // fails at once and clearly, rather than waiting out the time limit once a row and calling
    // every row refused; PostgreSQL's readers hold nothing back.
    void removalWhileAnotherConnectionReads()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDuplicatePairs(50);
        DataLink link = db.link();
        link.commandTimeout = 1;
        TData1 session(link);
        const RemovalPlan plan = RemovalPlan::fromSearch(searchAll(session));
        QSqlDatabase reader = QSqlDatabase::cloneDatabase(db.db(), QStringLiteral("reader"));
        QVERIFY(reader.open());
        RemovalOutcome outcome;
        {
            QSqlQuery read(reader);
            QVERIFY(reader.transaction());
            QVERIFY(read.exec(QStringLiteral("select count(*) from diskinfo")) && read.next());
            Recorder sink;
            outcome = removeAll(session, plan, db.dir(), sink);
            read.finish();
            reader.rollback();
        }
        reader.close();
        reader = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("reader"));
        QVERIFY(outcome.refused.isEmpty());
        if (!db.isSqlite()) {
            QVERIFY2(outcome.ending.isDone(), qPrintable(outcome.ending.message));
            QCOMPARE(remainingIds(db).size(), 50);
        } else {
            QVERIFY(outcome.ending.isFailed());
            QVERIFY2(outcome.ending.message.contains(QLatin1String("locked")), qPrintable(outcome.ending.message));
            QCOMPARE(remainingIds(db).size(), 100);
        }
    }

    void refusedDeletionIsLoggedWithItsReason()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A;3,1,B;5,2,B;7,1,C;9,2,C"));
        if (db.isPostgres()) {
            db.exec(QStringLiteral("create function refuse5() returns trigger language plpgsql as $$ "
                                   "begin if old.DiskID = 5 then raise exception 'row 5 is protected'; end if; return old; end $$"));
            db.exec(QStringLiteral("create trigger keep5 before delete on diskinfo for each row execute function refuse5()"));
        } else if (db.isSqlServer()) {
            db.exec(QStringLiteral("create trigger keep5 on diskinfo after delete as "
                                   "if exists (select 1 from deleted where DiskID = 5) throw 50000, 'row 5 is protected', 1"));
        } else {
            db.exec(QStringLiteral("create trigger keep5 before delete on diskinfo when old.DiskID = 5 "
                                   "begin select raise(abort, 'row 5 is protected'); end"));
        }
        TData1 session(db.link());
        Recorder sink;
        const RemovalOutcome outcome = removeAll(session, RemovalPlan::fromSearch(searchAll(session)), db.dir(), sink);
        QCOMPARE(sink.logs.mid(1), QStringList({"删除重码:2", "重码未删除:5", "删除重码:9"}));
        QCOMPARE(outcome.refused.size(), 1);
        QCOMPARE(outcome.refused.first().id, 5);
        QVERIFY2(outcome.refused.first().reason.contains(QLatin1String("row 5 is protected")),
                 qPrintable(outcome.refused.first().reason));
        QVERIFY(outcome.delLogWritten);
        QCOMPARE(remainingIds(db), QList<qint64>({1, 3, 5, 7}));
    }

    // A file that cannot be written is found out before the first deletion.
    void nothingDeletedWhenAFileCannotBeWritten_data()
    {
        QTest::addColumn<QString>("delLog");
        QTest::addColumn<QString>("backup");
        QTest::addColumn<QString>("failure"); // how the message starts, the path after it
        QTest::addColumn<QString>("failing");
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("del.log in a missing folder") << "nothere/del.log" << "backup/b.csv" << "Cannot create file"
                                                     << "nothere/del.log" << false;
        QTest::newRow("del.log is a folder") << "folder" << "backup/b.csv" << "Cannot create file" << "folder" << false;
        QTest::newRow("backup under a file") << "del.log" << "plain/b.csv" << "Cannot create file" << "plain/b.csv" << false;
        // As on a full disk: the file is opened, its write fails, and the system says why.
        QTest::newRow("del.log cannot be written whole") << "del.log" << "backup/b.csv" << "Stream write error:"
                                                         << "del.log" << true;
    }

    void nothingDeletedWhenAFileCannotBeWritten()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, delLog);
        QFETCH(QString, backup);
        QFETCH(QString, failure);
        QFETCH(QString, failing);
        QFETCH(bool, diskFull);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A"));
        QVERIFY(QDir(db.dir()).mkdir(QStringLiteral("folder")));
        test::writeFile(db.dir() + QLatin1Char('/') + QStringLiteral("plain"), "a file, not a folder");
        TData1 session(db.link());
        const RemovalPlan plan = RemovalPlan::fromSearch(searchAll(session));
        Recorder sink;
        CancelToken cancel;
        RemovalOutcome outcome;
        {
            // Files of this process may not grow past their first byte for the length of the
            // removal (SQLite's own file is not written before the first deletion).
            const test::FileSizeLimit limit(diskFull ? 1 : -1);
            outcome = dedupe::runRemoval(session, plan,
                                         {db.dir() + QLatin1Char('/') + delLog, db.dir() + QLatin1Char('/') + backup}, sink, cancel);
        }
        QVERIFY(outcome.ending.isFailed());
        const QString prefix = failure + QLatin1Char(' ') + QDir::toNativeSeparators(db.dir() + QLatin1Char('/') + failing) + QStringLiteral(": ");
        QVERIFY2(outcome.ending.message.startsWith(prefix) && outcome.ending.message.size() > prefix.size(),
                 qPrintable(outcome.ending.message));
        QVERIFY2(!outcome.ending.message.contains(QLatin1String("Unknown error")), qPrintable(outcome.ending.message));
        QCOMPARE(remainingIds(db), QList<qint64>({1, 2}));
        QVERIFY(sink.logs.filter(QStringLiteral("删除重码")).isEmpty());
    }

    // Every column of the deleted rows, whatever it holds, comes back as it was.
    void backupAndRestoreRoundTrip()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        db.exec(QStringLiteral("create table diskinfo (DiskID bigint, DiskNum integer, Bar varchar(100), Note varchar(200), Weight double precision)"));
        const QVariant null = QVariant(QMetaType::fromType<QString>());
        const QVariant noWeight = QVariant(QMetaType::fromType<double>());
        const QList<QVariantList> rows = {
            {qint64(4294967297), 1, QStringLiteral("条码甲"), QStringLiteral("中文，带逗号, \"引号\" and 'quotes'"), 1.5},
            {qint64(4294967298), 2, QStringLiteral("条码甲"), QStringLiteral("line one\nline two\r\nthree"), noWeight},
            {qint64(11), 1, QStringLiteral("B"), null, 0.1},
            {qint64(12), 3, QStringLiteral("B"), QString(""), -2.25},
            {qint64(21), 1, QStringLiteral("C,\"x\""), QStringLiteral("  blanks at both ends  "), 3.0},
            {qint64(22), 5, QStringLiteral("C,\"x\""), QStringLiteral("NULL"), 1e-7},
        };
        for (const QVariantList &r : rows)
            db.exec(QStringLiteral("insert into diskinfo values (?, ?, ?, ?, ?)"), r);
        const QStringList before = tableText(db, QStringLiteral("DiskID"));

        TData1 session(db.link());
        Recorder sink;
        const QString backup = db.dir() + QStringLiteral("/backup/diskinfo.csv");
        const RemovalOutcome outcome = removeAll(session, RemovalPlan::fromSearch(searchAll(session)), db.dir(), sink);
        QVERIFY2(outcome.ending.isDone(), qPrintable(outcome.ending.message));
        QCOMPARE(outcome.deleted, 3);
        QCOMPARE(outcome.backedUp, 3);
        QCOMPARE(remainingIds(db), QList<qint64>({11, 21, 4294967297}));

        const QByteArray csv = readAll(backup);
        QVERIFY(csv.startsWith("\xEF\xBB\xBF"));
        const QList<QByteArray> lines = csv.mid(3).split('\n');
        QCOMPARE(lines.first().toLower(), QByteArray("diskid,disknum,bar,note,weight\r"));
        QVERIFY2(csv.contains("12,3,B,\"\",-2.25\r\n"), csv.constData()); // the empty text quoted
        QVERIFY2(csv.contains("4294967298,2,条码甲,\"line one\nline two\r\nthree\",\r\n"), csv.constData()); // NULL bare

        // A backup of other columns is refused before anything is written.
        const QString other = test::writeFile(db.dir() + QStringLiteral("/other.csv"), "\xEF\xBB\xBF" "DiskID,Bar\r\n12,B\r\n");
        CancelToken cancel;
        const dedupe::RestoreOutcome refused = dedupe::restoreBackup(session, other, false, sink, cancel);
        QVERIFY(refused.ending.isFailed());
        QVERIFY2(refused.ending.message.contains(QLatin1String("columns")), qPrintable(refused.ending.message));
        QCOMPARE(remainingIds(db), QList<qint64>({11, 21, 4294967297}));

        const dedupe::RestoreOutcome dry = dedupe::restoreBackup(session, backup, true, sink, cancel);
        QVERIFY(dry.ending.isDone());
        QCOMPARE(dry.restored, 3);
        QCOMPARE(remainingIds(db), QList<qint64>({11, 21, 4294967297}));

        const dedupe::RestoreOutcome restored = dedupe::restoreBackup(session, backup, false, sink, cancel);
        QVERIFY2(restored.ending.isDone(), qPrintable(restored.ending.message));
        QCOMPARE(restored.restored, 3);
        QCOMPARE(restored.present, 0);
        QCOMPARE(tableText(db, QStringLiteral("DiskID")), before);

        const dedupe::RestoreOutcome again = dedupe::restoreBackup(session, backup, false, sink, cancel);
        QCOMPARE(again.restored, 0);
        QCOMPARE(again.present, 3);
        QCOMPARE(tableText(db, QStringLiteral("DiskID")), before);
    }

    // Every value of a deleted row comes back from the backup as the same value of the same
    // type: the server's own text with every digit, binary data, SQLite's values of any type.
    void backupKeepsEveryValue_data()
    {
        QTest::addColumn<QString>("server"); // where the row runs
        QTest::addColumn<QString>("type");   // of the column X
        QTest::addColumn<QString>("value");  // a literal for X
        const QString pg = QStringLiteral("postgres");
        const QString sqlite = QStringLiteral("sqlite");
        const QString mssql = QStringLiteral("mssql");
        QTest::newRow("SQL Server numeric(30,10)") << mssql << "numeric(30,10)" << "12345678901234567890.1234567890";
        QTest::newRow("SQL Server float") << mssql << "float" << "1.7976931348623157e308";
        QTest::newRow("SQL Server datetime2(7)") << mssql << "datetime2(7)" << "2024-02-29 23:59:59.1234567";
        QTest::newRow("SQL Server datetimeoffset(7)") << mssql << "datetimeoffset(7)" << "2024-02-29 23:59:59.1234567 +05:30";
        QTest::newRow("SQL Server time(7)") << mssql << "time(7)" << "12:34:56.7654321";
        QTest::newRow("SQL Server bit") << mssql << "bit" << "1";
        QTest::newRow("SQL Server nvarchar") << mssql << "nvarchar(20)" << "条码甲";
        QTest::newRow("numeric(30,10)") << pg << "numeric(30,10)" << "12345678901234567890.1234567890";
        QTest::newRow("double, largest") << pg << "double precision" << "1.7976931348623157e308";
        QTest::newRow("double, smallest") << pg << "double precision" << "5e-324";
        QTest::newRow("double, -0") << pg << "double precision" << "-0";
        QTest::newRow("double, -infinity") << pg << "double precision" << "-Infinity";
        QTest::newRow("real, largest") << pg << "real" << "3.4028235e38";
        QTest::newRow("timestamp(6)") << pg << "timestamp(6)" << "2024-02-29 23:59:59.123456";
        QTest::newRow("timestamp infinity") << pg << "timestamp" << "infinity";
        QTest::newRow("timestamptz") << pg << "timestamptz" << "2024-02-29 23:59:59.123456+05:30";
        QTest::newRow("time(6)") << pg << "time(6)" << "12:34:56.654321";
        QTest::newRow("date") << pg << "date" << "1999-12-31";
        QTest::newRow("boolean") << pg << "boolean" << "true";
        QTest::newRow("bytea") << pg << "bytea" << "\\x00ff41";
        QTest::newRow("text like a number") << pg << "varchar(20)" << "007";
        QTest::newRow("text like binary") << pg << "text" << "\\x41";
        QTest::newRow("untyped integer") << sqlite << "" << "42";
        QTest::newRow("untyped text 42") << sqlite << "" << "'42'";
        QTest::newRow("untyped real") << sqlite << "" << "4.5";
        QTest::newRow("untyped blob") << sqlite << "" << "x'00ff41'";
        QTest::newRow("untyped text like binary") << sqlite << "" << "'\\x41'";
        QTest::newRow("text in a blob column") << sqlite << "blob" << "'hello'";
        QTest::newRow("blob in a text column") << sqlite << "text" << "x'c3'";
        QTest::newRow("largest real") << sqlite << "real" << "1.7976931348623157e308";
        QTest::newRow("0.1") << sqlite << "real" << "0.1";
        QTest::newRow("largest integer") << sqlite << "integer" << "9223372036854775807";
        QTest::newRow("infinity") << sqlite << "real" << "9e999";
    }

    void backupKeepsEveryValue()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, server);
        QFETCH(QString, type);
        QFETCH(QString, value);
        if (backend != server)
            QSKIP("a type of the other server");
        ScratchDatabase db(backend);
        db.exec(QStringLiteral("create table diskinfo (DiskID bigint, DiskNum integer, Bar varchar(10), X %1)").arg(type));
        // Rows 2 and 4 are picked: one with the value, one with NULL.
        db.exec(QStringLiteral("insert into diskinfo values (1, 1, 'A', null), (2, 2, 'A', %1), (3, 1, 'B', %1), (4, 2, 'B', null)")
                    .arg(db.isSqlite() ? value : db.isSqlServer() ? QStringLiteral("N'%1'").arg(value) : QStringLiteral("'%1'").arg(value)));
        // Every digit as the server holds it (style 3: a float's 17 digits, 121: dates in full).
        const int style = type == QLatin1String("float") ? 3 : type.startsWith(QLatin1String("date")) || type.startsWith(QLatin1String("time")) ? 121 : 0;
        const QString dump = db.isSqlServer() ? QStringLiteral("select DiskID, convert(nvarchar(100), X, %1) from diskinfo order by DiskID").arg(style)
                           : db.isPostgres() ? QStringLiteral("select DiskID, X::text from diskinfo order by DiskID")
                                             : QStringLiteral("select DiskID, typeof(X), X from diskinfo order by DiskID");
        const QList<QVariantList> before = db.rows(dump);
        TData1 session(db.link());
        Recorder sink;
        const RemovalOutcome removed = removeAll(session, RemovalPlan::fromSearch(searchAll(session)), db.dir(), sink);
        QVERIFY2(removed.ending.isDone(), qPrintable(removed.ending.message));
        QCOMPARE(removed.deleted, 2);
        CancelToken cancel;
        const dedupe::RestoreOutcome restored =
            dedupe::restoreBackup(session, db.dir() + QStringLiteral("/backup/diskinfo.csv"), false, sink, cancel);
        QVERIFY2(restored.ending.isDone(), qPrintable(restored.ending.message));
        QCOMPARE(restored.restored, 2);
        const QList<QVariantList> after = db.rows(dump);
        QCOMPARE(after.size(), before.size());
        for (qsizetype i = 0; i < before.size(); ++i) {
            for (qsizetype c = 0; c < before.at(i).size(); ++c) {
                QCOMPARE(after.at(i).at(c).isNull(), before.at(i).at(c).isNull());
                QCOMPARE(after.at(i).at(c), before.at(i).at(c));
            }
        }
    }

    // A restore brings back exactly the rows the removal deleted, wherever other rows share
    // their ids.
    void restoreBringsBackWhatWasDeleted_data()
    {
        QTest::addColumn<QString>("rows");
        QTest::newRow("an id shared with a NULL barcode's row") << "1,0,;2,1,;2,1,null";
        QTest::newRow("an id shared with another barcode's row") << "5,1,A;6,0,A;5,1,B;7,0,B;6,3,C";
    }

    void restoreBringsBackWhatWasDeleted()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, rows);
        ScratchDatabase db(backend);
        fill(db, rows);
        const QStringList before = tableText(db, QStringLiteral("DiskID, DiskNum, Bar"));
        TData1 session(db.link());
        Recorder sink;
        const RemovalOutcome removed = removeAll(session, RemovalPlan::fromSearch(searchAll(session)), db.dir(), sink);
        QVERIFY2(removed.ending.isDone() && removed.deleted > 0, qPrintable(removed.ending.message));
        QCOMPARE(removed.backedUp, removed.deleted);
        CancelToken cancel;
        const dedupe::RestoreOutcome restored =
            dedupe::restoreBackup(session, db.dir() + QStringLiteral("/backup/diskinfo.csv"), false, sink, cancel);
        QVERIFY2(restored.ending.isDone(), qPrintable(restored.ending.message));
        QCOMPARE(restored.restored, removed.deleted);
        QCOMPARE(tableText(db, QStringLiteral("DiskID, DiskNum, Bar")), before);
    }

    void connectionLostMidway()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgres"))
            QSKIP("needs a server whose connection can be cut from outside");
        ScratchDatabase db(backend);
        db.createDiskinfo();
        db.insertDuplicatePairs(1200);
        TData1 session(db.link());
        const int pid = session.select(QStringLiteral("select pg_backend_pid() as pid")).integer(0, QStringLiteral("pid"));
        const RemovalPlan plan = RemovalPlan::fromSearch(searchAll(session));
        Recorder sink;
        bool cut = false;
        sink.afterLog = [&] {
            if (!cut && sink.logs.last().startsWith(QStringLiteral("删除重码"))) {
                cut = true;
                db.exec(QStringLiteral("select pg_terminate_backend(?)"), {pid});
            }
        };
        const RemovalOutcome outcome = removeAll(session, plan, db.dir(), sink);
        QVERIFY(outcome.ending.isFailed());
        // The first batch stays deleted and logged; a lost connection is no refused row.
        const QStringList logged = sink.logs.mid(1);
        QVERIFY(!logged.isEmpty() && logged.size() < 1200);
        QCOMPARE(logged.filter(QStringLiteral("删除重码:")).size(), logged.size());
        QVERIFY(outcome.refused.isEmpty());
        QVERIFY(outcome.delLogWritten); // before the first deletion
        QCOMPARE(remainingIds(db).size(), 2400 - logged.size());
    }

    void delLogBytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("del.log"));
        dedupe::writeDelLog(path, {QStringLiteral("A'B"), QStringLiteral("条码甲"), QString(), QStringLiteral("x")});
        const QByteArray gbk = QByteArray("A'B\r\n") + QByteArray("\xCC\xF5\xC2\xEB\xBC\xD7") + "\r\n\r\nx\r\n";
        QCOMPARE(readAll(path), gbk);
        // Replaced, never appended to.
        dedupe::writeDelLog(path, {QStringLiteral("B")});
        QCOMPARE(readAll(path), QByteArray("B\r\n"));
    }

    void csvParsing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("parsed"); // records as fields joined by '|', NULL as <null>; or the error
        QTest::newRow("NULL and the empty text") << QByteArray("a,b,c\r\n1,,\"\"\r\n") << "1|<null>|";
        QTest::newRow("quotes, commas and line breaks") << QByteArray("a,b\n\"x,\"\"y\"\"\",\"1\n2\"\n") << "x,\"y\"|1\n2";
        QTest::newRow("no final line break") << QByteArray("a\r\nz") << "z";
        QTest::newRow("unclosed quote") << QByteArray("a,b\r\n1,\"open\r\n") << "error: line 2";
        QTest::newRow("too few fields") << QByteArray("a,b\r\n1\r\n") << "error: line 2";
        QTest::newRow("text after a closing quote") << QByteArray("a\r\n\"x\"y\r\n") << "error: line 2";
        QTest::newRow("not UTF-8: refused where it stands")
            << QByteArray("a,b\r\nx,\xff\xfe\r\n") << "error: row 1 of the backup, column b is not valid UTF-8";
    }

    void csvParsing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, parsed);
        QString got;
        try {
            const csv::Table table = csv::parse(bytes);
            QStringList records;
            for (const QList<csv::Field> &row : table.rows) {
                QStringList cells;
                for (const csv::Field &f : row)
                    cells << f.value_or(QStringLiteral("<null>"));
                records << cells.join(QLatin1Char('|'));
            }
            got = records.join(QLatin1Char('/'));
        } catch (const Error &e) {
            got = QStringLiteral("error: ") + e.message();
        }
        QVERIFY2(got.startsWith(parsed), qPrintable(got));
    }
};

QTEST_GUILESS_MAIN(TestDedupe)
#include "tst_dedupe.moc"
