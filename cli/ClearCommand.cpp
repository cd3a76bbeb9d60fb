#include "cli/Command.h"
#include "cli/StopSignal.h"
#include "cli/Terminal.h"
#include "cli/Texts.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/DuplicateSearch.h"

#include <QDateTime>
#include <QDir>

namespace chongma::cli {

namespace {

// The run log on stdout, as the window's memo holds it; progress on a terminal's stderr.
class RemovalPrinter : public OperationSink {
public:
    explicit RemovalPrinter(const QString &what) : m_line(what, Texts::tr("rows")) {}
    void addLog(const QString &line) override
    {
        m_line.finish();
        out(line);
    }
    void flushLog() override { flushOut(); }
    void progress(qint64 done, qint64 total) override { m_line.update(done, total); }

private:
    ProgressLine m_line;
};

class ClearCommand : public Command {
public:
    QString name() const override { return QStringLiteral("clear"); }
    QString synopsis() const override { return QStringLiteral("[--yes] [--del-log PATH] [--backup PATH]"); }
    QString summary() const override
    {
        return QStringLiteral("search, ask \"N 个重码，确定清除重码吗？\", back up the picked rows, delete them, print "
                              "the run log and write del.log");
    }
    QList<QCommandLineOption> options() const override
    {
        return {
            {QStringLiteral("yes"), Texts::tr("clear: delete without asking.")},
            {QStringLiteral("del-log"), Texts::tr("clear: where to write del.log (default: beside this program)."),
             QStringLiteral("PATH")},
            {QStringLiteral("backup"),
             Texts::tr("clear: the backup file of the deleted rows (default: backup/diskinfo-YYYYMMDD-HHMMSS.csv "
                       "beside del.log)."),
             QStringLiteral("PATH")},
        };
    }

    int execute(const Context &context) override
    {
        const std::unique_ptr<TData1> session = context.openSession();
        SearchResult result;
        {
            RemovalPrinter progress(Texts::tr("searching"));
            result = dedupe::findDuplicates(*session, progress, stopToken());
        }
        if (const std::optional<int> code =
                unfinished(result.ending, Texts::tr("the search was cancelled; nothing deleted")))
            return *code;
        for (const DuplicatePick &pick : std::as_const(result.duplicates))
            out(pick.barcode);
        err(Texts::tr("%1 duplicated barcodes, %2 rows picked for removal")
                .arg(result.duplicates.size())
                .arg(result.pickedIds().size()));

        const RemovalPlan plan = RemovalPlan::fromSearch(result);
        if (!context.isSet(QStringLiteral("yes"))) {
            const std::optional<bool> answer = askOnTerminal(plan.question());
            if (!answer) {
                err(Texts::tr("chongma-cli: %1 -- no terminal to answer on; nothing deleted (use --yes)")
                        .arg(plan.question()));
                return Usage;
            }
            if (!*answer) {
                err(Texts::tr("nothing deleted"));
                return Ok;
            }
        }

        RemovalFiles files;
        files.delLog = context.isSet(QStringLiteral("del-log")) ? context.value(QStringLiteral("del-log"))
                                                                : Context::besideProgram(QStringLiteral("del.log"));
        files.backup = context.isSet(QStringLiteral("backup"))
                           ? context.value(QStringLiteral("backup"))
                           : dedupe::backupPathFor(files.delLog, QDateTime::currentDateTime());
        RemovalOutcome outcome;
        {
            RemovalPrinter printer(Texts::tr("deleting"));
            outcome = dedupe::runRemoval(*session, plan, files, printer, stopToken());
        }
        for (const RefusedRow &row : std::as_const(outcome.refused))
            err(Texts::tr("chongma-cli: DiskID %1 was not deleted: %2").arg(row.id).arg(row.reason));
        err(Texts::tr("%1 deleted, %2 no longer there, %3 not deleted")
                .arg(outcome.deleted)
                .arg(outcome.gone)
                .arg(outcome.refused.size()));
        if (outcome.backupWritten)
            err(Texts::tr("backup of %1 rows: %2").arg(outcome.backedUp).arg(QDir::toNativeSeparators(files.backup)));
        if (outcome.delLogWritten)
            err(Texts::tr("wrote %1").arg(QDir::toNativeSeparators(files.delLog)));

        if (const std::optional<int> code = unfinished(outcome.ending, Texts::tr("the removal was cancelled")))
            return *code;
        return outcome.refused.isEmpty() ? Ok : Partial;
    }
};

class RestoreCommand : public Command {
public:
    QString name() const override { return QStringLiteral("restore"); }
    QString synopsis() const override { return QStringLiteral("BACKUP [--dry-run]"); }
    QString summary() const override
    {
        return Texts::tr("insert back every row of a backup that diskinfo does not hold (by DiskID and Bar)");
    }
    QList<QCommandLineOption> options() const override
    {
        return {{QStringLiteral("dry-run"), Texts::tr("import, restore: look only; write nothing.")}};
    }
    int minArgs() const override { return 1; }
    int maxArgs() const override { return 1; }

    int execute(const Context &context) override
    {
        const std::unique_ptr<TData1> session = context.openSession();
        const bool dryRun = context.isSet(QStringLiteral("dry-run"));
        dedupe::RestoreOutcome outcome;
        {
            RemovalPrinter printer(Texts::tr("restoring"));
            outcome = dedupe::restoreBackup(*session, context.args.at(0), dryRun, printer, stopToken());
        }
        if (const std::optional<int> code =
                unfinished(outcome.ending, Texts::tr("the restore was cancelled; nothing was restored")))
            return *code;
        out(Texts::tr("%1 %2 rows, %3 already there")
                .arg(dryRun ? Texts::tr("would restore") : Texts::tr("restored"))
                .arg(outcome.restored)
                .arg(outcome.present));
        return Ok;
    }
};

} // namespace

std::unique_ptr<Command> makeClearCommand() { return std::make_unique<ClearCommand>(); }
std::unique_ptr<Command> makeRestoreCommand() { return std::make_unique<RestoreCommand>(); }

} // namespace chongma::cli
