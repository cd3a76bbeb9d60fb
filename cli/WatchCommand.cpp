#include "cli/Command.h"
#include "cli/ImportPrinter.h"
#include "cli/StopSignal.h"
#include "cli/Terminal.h"
#include "cli/Texts.h"
#include "data/Connection.h"
#include "data/DataLink.h"
#include "data/Session.h"
#include "import/ImportRun.h"
#include "watch/SourceWatch.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

namespace chongma::cli {

namespace {

// The shortest pause between two looks: anything shorter only burns a core.
constexpr double kShortestPause = 0.1;
// How long --once waits for a file that is still being written.
constexpr int kOnceWaitSeconds = 60;

// Sleeps `seconds`, waking early when a stop is asked for; false then.
bool pause(double seconds)
{
    QDeadlineTimer deadline(qint64(seconds * 1000.0));
    while (!stopRequested()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return true;
        QThread::msleep(quint64(qMin<qint64>(left, 100)));
    }
    return false;
}

class WatchCommand : public Command {
public:
    QString name() const override { return QStringLiteral("watch"); }
    QString synopsis() const override { return QStringLiteral("SOURCE [--every SECONDS] [--once] [--config FILE]"); }
    QString summary() const override
    {
        return Texts::tr("import SOURCE whenever it has changed and held still (default: look every 10 s; "
                         "--once waits up to a minute for a file still being written)");
    }
    QList<QCommandLineOption> options() const override
    {
        return {
            {QStringLiteral("every"), Texts::tr("watch: seconds between two looks at the file (default 10, at least 0.1)."),
             QStringLiteral("SECONDS")},
            {QStringLiteral("once"), Texts::tr("watch: import the file once it holds still, then exit.")},
            {QStringLiteral("config"),
             Texts::tr("watch: the config.ini to keep the last imported time in (default: beside this program)."),
             QStringLiteral("FILE")},
        };
    }
    int minArgs() const override { return 1; }
    int maxArgs() const override { return 1; }

    int execute(const Context &context) override
    {
        const QString source = context.args.at(0);
        bool ok = true;
        double every = context.isSet(QStringLiteral("every")) ? context.value(QStringLiteral("every")).toDouble(&ok) : 10.0;
        if (!ok || !(every > 0)) {
            err(Texts::tr("chongma-cli: --every takes a number of seconds above 0"));
            return Usage;
        }
        every = qMax(every, kShortestPause);
        const QString configPath = context.isSet(QStringLiteral("config")) ? context.value(QStringLiteral("config"))
                                                                           : Context::besideProgram(QStringLiteral("config.ini"));
        SourceWatch sourceWatch(configPath);
        sourceWatch.loadConfig(); // keeps what the user set when the time is written back
        SourceCheck check(sourceWatch);
        Connection connection(context.dataLink());
        connection.open();

        // One import of the version the check reported; a failure is tried again next time.
        const auto importNow = [&]() -> int {
            ImportPrinter printer(false);
            ImportRequest request;
            request.path = source;
            ImportResult result;
            try {
                result = import::RunImport(connection.session(printer), request, printer, stopToken());
            } catch (const std::exception &e) {
                result.ending = JobEnding::failed(QString::fromUtf8(e.what()));
            }
            if (!result.ending.isFailed())
                out(ImportPrinter::summary(result.counters));
            flushOut(); // a watching process's lines reach a pipe as they happen
            if (!result.ending.isDone())
                check.importFailed();
            if (result.ending.isFailed()) {
                err(QStringLiteral("chongma-cli: %1").arg(result.ending.message));
                return Failed;
            }
            return result.ending.isStopped() ? Cancelled : Ok;
        };
        // A look whose config.ini cannot be written is reported and tried again next time.
        const auto look = [&](SourceCheck::Verdict &verdict) {
            try {
                verdict = check.look(source);
                return true;
            } catch (const std::exception &e) {
                err(QStringLiteral("chongma-cli: %1").arg(QString::fromUtf8(e.what())));
                return false;
            }
        };

        SourceCheck::Verdict verdict = SourceCheck::Verdict::Missing;
        if (context.isSet(QStringLiteral("once"))) {
            look(verdict); // the first look only learns the file's size and time
            for (int waited = 0;; ++waited) {
                if (!pause(1.0))
                    return Cancelled;
                if (!look(verdict))
                    return Failed;
                if (verdict != SourceCheck::Verdict::Moving)
                    break;
                if (waited + 1 >= kOnceWaitSeconds) {
                    err(Texts::tr("chongma-cli: %1 was still being written after %2 s; nothing imported")
                            .arg(QDir::toNativeSeparators(source))
                            .arg(kOnceWaitSeconds));
                    return Failed;
                }
            }
            return verdict == SourceCheck::Verdict::Changed ? importNow() : Ok;
        }

        err(Texts::tr("watching %1 every %2 s (config %3); Ctrl+C stops")
                .arg(QDir::toNativeSeparators(source))
                .arg(every)
                .arg(QDir::toNativeSeparators(configPath)));
        look(verdict);
        while (pause(every)) {
            if (look(verdict) && verdict == SourceCheck::Verdict::Changed && importNow() == Cancelled)
                break;
        }
        err(Texts::tr("stopped"));
        return Cancelled;
    }
};

} // namespace

std::unique_ptr<Command> makeWatchCommand() { return std::make_unique<WatchCommand>(); }

} // namespace chongma::cli
