// The duplicate search and removal against SQLite and PostgreSQL (through ODBC).
#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/DuplicateSearch.h"
#include "text/CodePage.h"
#include "support/TestDatabase.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
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

QVariant field(const QString &token, QMetaType type)
{
    return token == QLatin1String("null") ? QVariant(type) : QVariant(token);
}

// Rows as "DiskID,DiskNum,Bar;..." with "null" for NULL; a Bar may hold anything but ',' and ';'.
void fill(ScratchDatabase &db, const QString &rows)
{
    db.createDiskinfo();
    for (const QString &row : rows.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList f = row.split(QLatin1Char(','));
        QCOMPARE(f.size(), 3);
        db.insertDisk(f[0] == QLatin1String("null") ? QVariant(QMetaType::fromType<int>()) : QVariant(f[0].toInt()),
                      f[1] == QLatin1String("null") ? QVariant(QMetaType::fromType<int>()) : QVariant(f[1].toInt()),
                      field(f[2], QMetaType::fromType<QString>()));
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

QList<RemovalEntry> entriesOf(const SearchResult &r)
{
    QList<RemovalEntry> entries;
    for (const DuplicatePick &p : r.duplicates)
        if (p.diskId)
            entries.append({QString::number(*p.diskId), p.barcode});
    return entries;
}

QList<int> remainingIds(ScratchDatabase &db)
{
    QList<int> ids;
    for (const QVariantList &row : db.rows(QStringLiteral("select DiskID from diskinfo where DiskID is not null order by DiskID")))
        ids << row.at(0).toInt();
    return ids;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
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
        QTest::newRow("empty table") << QString() << QString();
        QTest::newRow("no duplicates") << "1,5,A;2,5,B;3,5,C" << QString();
        QTest::newRow("3 and 7: the 7") << "1,3,A;2,7,A" << "A=2";
        QTest::newRow("7 and 3: the 7") << "1,7,A;2,3,A" << "A=1";
        QTest::newRow("5, 9, 9: tie to the greatest DiskID") << "30,9,A;10,5,A;20,9,A" << "A=30";
        QTest::newRow("all equal: the greatest DiskID") << "4,2,A;9,2,A;6,2,A" << "A=9";
        QTest::newRow("NULL DiskNum counts as 0") << "1,null,A;2,-1,A" << "A=1";
        QTest::newRow("NULL DiskNum loses to 1") << "1,null,A;2,1,A" << "A=2";
        QTest::newRow("below -1000 still picks a row") << "1,-5000,A;2,-3000,A" << "A=2";
        QTest::newRow("NULL DiskID is never picked") << "null,99,A;4,1,A" << "A=4";
        QTest::newRow("only NULL DiskIDs: listed, nothing picked") << "null,1,M;null,2,M" << "M=-";
        QTest::newRow("NULL and empty barcodes") << "1,1,null;2,1,null;3,4,;4,2," << "=3";
        QTest::newRow("NULL barcodes alone are no barcode") << "1,1,null;2,1,null" << QString();
        QTest::newRow("quote in a barcode") << "1,1,A'B;2,2,A'B;3,9,A" << "A'B=2";
        QTest::newRow("Chinese barcode") << "1,8,条码甲;2,2,条码甲;3,1,条码乙" << "条码甲=1";
        QTest::newRow("ascending barcode order") << "1,1,Z;2,1,Z;3,1,B;4,1,B;5,1,M;6,2,M" << "B=4;M=6;Z=2";
    }

    void search()
    {
        QFETCH_GLOBAL(QString, backend);
        QFETCH(QString, rows);
        QFETCH(QString, found);
        ScratchDatabase db(backend);
        fill(db, rows);
        TData1 session(db.link());
        Recorder sink;
        const SearchResult result = dedupe::findDuplicates(session, sink);
        QCOMPARE(describe(result), found);
        // Every duplicated barcode reached the error list, in order, even without a pick.
        QStringList bars;
        for (const DuplicatePick &p : result.duplicates)
            bars << p.barcode;
        QCOMPARE(sink.errors, bars);
        // Two searches of one table list the same thing.
        Recorder again;
        QCOMPARE(describe(dedupe::findDuplicates(session, again)), found);
    }

    void threeRowsNeedTwoRounds()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,T;2,2,T;3,3,T;4,1,U"));
        TData1 session(db.link());
        QStringList rounds;
        for (int round = 0; round < 3; ++round) {
            Recorder sink;
            const SearchResult r = dedupe::findDuplicates(session, sink);
            rounds << describe(r);
            const RemovalOutcome outcome = dedupe::removeDuplicates(session, entriesOf(r), sink);
            QCOMPARE(outcome.refused, 0);
            QCOMPARE(outcome.deleted, r.pickedIds().size());
        }
        QCOMPARE(rounds, QStringList({QStringLiteral("T=3"), QStringLiteral("T=2"), QString()}));
        QCOMPARE(remainingIds(db), QList<int>({1, 4}));
    }

    void removalLogsOnlyWhatItDeleted()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A;3,1,B;4,2,B;5,1,C;6,2,C"));
        TData1 session(db.link());
        Recorder sink;
        const SearchResult r = dedupe::findDuplicates(session, sink);
        QCOMPARE(r.pickedIds(), QStringList({"2", "4", "6"}));

        // Row 4 changed its barcode since the search: the stale pick must not delete it.
        db.exec(QStringLiteral("update diskinfo set Bar='Z' where DiskID=4"));
        RemovalOutcome first = dedupe::removeDuplicates(session, entriesOf(r), sink);
        QCOMPARE(sink.logs, QStringList({"删除重码:2", "重码已不存在:4", "删除重码:6"}));
        QCOMPARE(first.deleted, 2);
        QCOMPARE(first.gone, 1);
        QCOMPARE(remainingIds(db), QList<int>({1, 3, 4, 5}));

        // Pressing again: nothing left to delete, and nothing claims otherwise.
        sink.logs.clear();
        RemovalOutcome second = dedupe::removeDuplicates(session, entriesOf(r), sink);
        QCOMPARE(second.deleted, 0);
        QCOMPARE(sink.logs, QStringList({"重码已不存在:2", "重码已不存在:4", "重码已不存在:6"}));
    }

    void refusedDeletionIsSkipped()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A;3,1,B;5,2,B;7,1,C;9,2,C"));
        if (db.isPostgres()) {
            db.exec(QStringLiteral("create function refuse5() returns trigger language plpgsql as $$ "
                                   "begin if old.DiskID = 5 then raise exception 'row 5 is protected'; end if; return old; end $$"));
            db.exec(QStringLiteral("create trigger keep5 before delete on diskinfo for each row execute function refuse5()"));
        } else {
            db.exec(QStringLiteral("create trigger keep5 before delete on diskinfo when old.DiskID = 5 "
                                   "begin select raise(abort, 'row 5 is protected'); end"));
        }
        TData1 session(db.link());
        Recorder sink;
        const SearchResult r = dedupe::findDuplicates(session, sink);
        const RemovalOutcome outcome = dedupe::removeDuplicates(session, entriesOf(r), sink);
        QCOMPARE(sink.logs, QStringList({"删除重码:2", "删除重码:9"}));
        QCOMPARE(outcome.refused, 1);
        QCOMPARE(remainingIds(db), QList<int>({1, 3, 5, 7}));
    }

    void badEntryStopsTheRemoval()
    {
        QFETCH_GLOBAL(QString, backend);
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A;3,1,B;4,2,B"));
        TData1 session(db.link());
        Recorder sink;
        try {
            dedupe::removeDuplicates(session, {{"2", "A"}, {"4x", "B"}, {"4", "B"}}, sink);
            QFAIL("a non-integer entry must stop the removal");
        } catch (const Error &e) {
            QCOMPARE(e.message(), QStringLiteral("'4x' is not a valid integer value"));
        }
        QCOMPARE(sink.logs, QStringList({"删除重码:2"}));
        QCOMPARE(remainingIds(db), QList<int>({1, 3, 4}));
    }

    void connectionLostMidway()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgres"))
            QSKIP("needs a server whose connection can be cut from outside");
        ScratchDatabase db(backend);
        fill(db, QStringLiteral("1,1,A;2,2,A;3,1,B;4,2,B;5,1,C;6,2,C"));
        TData1 session(db.link());
        const int pid = session.select(QStringLiteral("select pg_backend_pid() as pid")).integer(0, QStringLiteral("pid"));
        Recorder sink;
        const SearchResult r = dedupe::findDuplicates(session, sink);
        sink.afterLog = [&] {
            sink.afterLog = nullptr;
            db.exec(QStringLiteral("select pg_terminate_backend(?)"), {pid});
        };
        QVERIFY_THROWS_EXCEPTION(Error, dedupe::removeDuplicates(session, entriesOf(r), sink));
        QCOMPARE(sink.logs, QStringList({"删除重码:2"}));
        QCOMPARE(remainingIds(db), QList<int>({1, 3, 4, 5, 6})); // the committed deletion stays
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

    void delLogCannotBeCreated_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("folder without write access") << QStringLiteral("readonly");
        QTest::newRow("del.log is a folder") << QStringLiteral("folder");
        QTest::newRow("missing folder") << QStringLiteral("missing");
    }

    void delLogCannotBeCreated()
    {
        QFETCH(QString, where);
        QTemporaryDir dir;
        QString path;
        if (where == QLatin1String("readonly")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("ro")));
            path = dir.filePath(QStringLiteral("ro/del.log"));
            QFile::setPermissions(dir.filePath(QStringLiteral("ro")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            QFile probe(dir.filePath(QStringLiteral("ro/probe")));
            if (probe.open(QIODevice::WriteOnly))
                QSKIP("running with privileges that ignore folder permissions (root)");
        } else if (where == QLatin1String("folder")) {
            path = dir.filePath(QStringLiteral("del.log"));
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("del.log")));
        } else {
            path = dir.filePath(QStringLiteral("nothere/del.log"));
        }
        try {
            dedupe::writeDelLog(path, {QStringLiteral("A")});
            QFAIL("writing should have failed");
        } catch (const Error &e) {
            QCOMPARE(e.message(), QStringLiteral("Cannot create file ") + QDir::toNativeSeparators(path));
        }
    }
};

QTEST_GUILESS_MAIN(TestDedupe)
#include "tst_dedupe.moc"
