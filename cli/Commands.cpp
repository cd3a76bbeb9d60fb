#include "cli/Commands.h"

#include "cli/Output.h"
#include "cli/StopSignal.h"
#include "data/DataLink.h"
#include "data/Error.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/DuplicateSearch.h"
#include "text/CodePage.h"
#include "import/ImportRun.h"
#include "watch/Config.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <iostream>
#include <string>

#if defined(Q_OS_WIN)
#include <io.h>
#define CHONGMA_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define CHONGMA_ISATTY(fd) isatty(fd)
#endif

#include <functional>
#include <memory>
#include <optional>

namespace chongma::cli {

namespace {

struct Context {
    QCommandLineParser &parser;
    QString udlPath;
    QStringList args; // positional arguments after the command name
};

struct Command {
    const char *name;
    const char *synopsis;
    QStringList options; // option names the command accepts besides --udl
    int minArgs;
    int maxArgs;
    std::function<int(Context &)> run;
};

QString usageText(const QList<Command> &commands, const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    text += QStringLiteral("\nCommands:\n");
    for (const Command &c : commands)
        text += QStringLiteral("  %1\n").arg(QString::fromUtf8(c.synopsis));
    text += QStringLiteral(
        "\nThe data link (disk.udl) defaults to the one beside this program, as the window's.\n"
        "Exit codes: 0 done, 1 failed (the reason on stderr), 2 bad usage.\n");
    return text;
}

int check(Context &ctx)
{
    try {
        const DataLink link = readDataLink(ctx.udlPath);
        TData1 session(link);
        out(QStringLiteral("connected: %1").arg(link.describe()));
        return Ok;
    } catch (const Error &e) {
        err(QStringLiteral("chongma-cli: cannot connect: %1").arg(e.message()));
        return Failed;
    }
}

// Prints each line as the window's memos would receive it.
class PrintingSink : public OperationSink {
public:
    void addLog(const QString &line) override { out(line); }
    void addError(const QString &line) override { err(line); }
};

// The search's barcodes go to the caller; the CLI prints them its own way.
class CollectingSink : public OperationSink {
public:
    bool progress(qint64 done, qint64 total) override
    {
        if (m_verbose && (done % 5000 == 0 || done == total))
            err(QStringLiteral("checked %1 of %2 barcodes").arg(done).arg(total));
        return true;
    }
    bool m_verbose = false;
};

std::unique_ptr<TData1> openSession(const QString &udlPath)
{
    try {
        return std::make_unique<TData1>(readDataLink(udlPath));
    } catch (const ConnectionError &e) {
        throw ConnectionError(QStringLiteral("cannot connect: %1").arg(e.message()));
    }
}

void printSummary(const SearchResult &result)
{
    err(QStringLiteral("%1 distinct barcodes, %2 duplicated, %3 rows picked for removal")
            .arg(result.barcodes.size())
            .arg(result.duplicates.size())
            .arg(result.pickedIds().size()));
}

int find(Context &ctx)
{
    auto session = openSession(ctx.udlPath);
    CollectingSink sink;
    sink.m_verbose = !ctx.parser.isSet(QStringLiteral("json"));
    const SearchResult result = dedupe::findDuplicates(*session, sink);
    const bool json = ctx.parser.isSet(QStringLiteral("json"));
    for (const DuplicatePick &pick : result.duplicates) {
        if (json) {
            QJsonObject o;
            o.insert(QStringLiteral("barcode"), pick.barcode);
            o.insert(QStringLiteral("diskId"), pick.diskId ? QJsonValue(*pick.diskId) : QJsonValue(QJsonValue::Null));
            out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
        } else {
            out(pick.barcode + QLatin1Char('\t') + (pick.diskId ? QString::number(*pick.diskId) : QStringLiteral("-")));
        }
    }
    printSummary(result);
    return Ok;
}

// y/n on the terminal; nullopt without one.
std::optional<bool> askOnTerminal(const QString &question)
{
    if (!CHONGMA_ISATTY(0))
        return std::nullopt;
    for (;;) {
        std::fputs((question + QStringLiteral(" [y/n] ")).toUtf8().constData(), stdout);
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer))
            return false;
        const QString a = QString::fromStdString(answer).trimmed().toLower();
        if (a == QLatin1String("y") || a == QLatin1String("yes"))
            return true;
        if (a == QLatin1String("n") || a == QLatin1String("no") || a.isEmpty())
            return false;
    }
}

int clear(Context &ctx)
{
    auto session = openSession(ctx.udlPath);
    CollectingSink quiet;
    const SearchResult result = dedupe::findDuplicates(*session, quiet);
    for (const DuplicatePick &pick : result.duplicates)
        out(pick.barcode);
    printSummary(result);

    QList<RemovalEntry> entries;
    for (const DuplicatePick &pick : result.duplicates) {
        if (pick.diskId)
            entries.append({QString::number(*pick.diskId), pick.barcode});
    }
    const QString question = QStringLiteral("%1 个重码，确定清除重码吗？").arg(entries.size());
    if (!ctx.parser.isSet(QStringLiteral("yes"))) {
        const std::optional<bool> answer = askOnTerminal(question);
        if (!answer) {
            err(QStringLiteral("chongma-cli: %1 -- no terminal to answer on; nothing deleted (use --yes)").arg(question));
            return Usage;
        }
        if (!*answer) {
            err(QStringLiteral("nothing deleted"));
            return Ok;
        }
    }

    PrintingSink sink;
    const RemovalOutcome outcome = dedupe::removeDuplicates(*session, entries, sink);
    err(QStringLiteral("%1 deleted, %2 no longer there, %3 refused by the database")
            .arg(outcome.deleted).arg(outcome.gone).arg(outcome.refused));

    QStringList barcodes;
    for (const DuplicatePick &pick : result.duplicates)
        barcodes.append(pick.barcode);
    if (!barcodes.isEmpty()) {
        const QString path = ctx.parser.isSet(QStringLiteral("del-log"))
                                 ? ctx.parser.value(QStringLiteral("del-log"))
                                 : QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("del.log"));
        dedupe::writeDelLog(path, barcodes);
        err(QStringLiteral("wrote %1").arg(QDir::toNativeSeparators(path)));
    }
    return Ok;
}

// Import effects on the terminal: log and error lines as the memos hold them, progress on
// stderr; with --json one object per cleaned line on stdout and everything else on stderr.
class ImportPrinter : public ImportSink {
public:
    explicit ImportPrinter(bool json) : m_json(json) {}
    void addLog(const QString &line) override { m_json ? err(line) : out(line); }
    void addError(const QString &line) override { m_json ? err(line) : out(line); }
    bool progress(qint64 done, qint64 total) override
    {
        if (total >= 1000 && (done % 10000 == 0 || done == total))
            err(QStringLiteral("%1 of %2 lines").arg(done).arg(total));
        return !stopRequested();
    }
    void lineHandled(const LineReport &r) override
    {
        if (!m_json)
            return;
        QJsonObject o;
        o.insert(QStringLiteral("line"), r.line);
        o.insert(QStringLiteral("text"), fromCodePage(r.text));
        o.insert(QStringLiteral("accepted"), r.outcome != LineOutcome::Rejected);
        if (r.outcome == LineOutcome::Rejected) {
            o.insert(QStringLiteral("reason"), parseReasonText(r.reason));
        } else {
            const TMaterialRec &m = r.record;
            o.insert(QStringLiteral("code"), fromCodePage(m.Code.bytes()));
            o.insert(QStringLiteral("mno"), fromCodePage(m.MNo.bytes()));
            o.insert(QStringLiteral("int"), m.IntValue);
            o.insert(QStringLiteral("price"), fromCodePage(m.Price.bytes()));
            o.insert(QStringLiteral("pubDate"), fromCodePage(m.PubDate.bytes()));
            o.insert(QStringLiteral("name"), fromCodePage(m.Name.bytes()));
            o.insert(QStringLiteral("supName"), fromCodePage(m.SupName.bytes()));
            static const char *const outcomes[] = {"rejected", "new", "present", "failed"};
            o.insert(QStringLiteral("outcome"), QLatin1String(outcomes[int(r.outcome)]));
            o.insert(QStringLiteral("sql"), fromCodePage(r.sql));
        }
        out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }

private:
    bool m_json;
};

int import(Context &ctx)
{
    installStopHandlers();
    auto session = openSession(ctx.udlPath);
    const bool json = ctx.parser.isSet(QStringLiteral("json"));
    ImportOptions options;
    options.dryRun = ctx.parser.isSet(QStringLiteral("dry-run"));
    ImportPrinter printer(json);
    const ImportResult result = import::RunImport(*session, ctx.args.at(0), printer, options);
    const ImportCounters &c = result.counters;
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("sum"), c.sum);
        o.insert(QStringLiteral("num"), c.num);
        o.insert(QStringLiteral("exist"), c.exist);
        o.insert(QStringLiteral("error"), c.error);
        o.insert(QStringLiteral("rejected"), c.rejected);
        out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    } else {
        out(QStringLiteral("总记录数：%1 已导入数：%2 已存在数：%3 格式错误：%4 未导入数：%5")
                .arg(c.sum).arg(c.num).arg(c.exist).arg(c.error).arg(c.wdr));
        if (options.dryRun)
            out(QStringLiteral("(dry run: nothing was inserted)"));
    }
    return result.complete ? Ok : Failed;
}

// Sleeps up to `seconds`, waking early when a stop is asked for; false then.
bool pause(double seconds)
{
    for (int waited = 0; waited < int(seconds * 10); ++waited) {
        if (stopRequested())
            return false;
        QThread::msleep(100);
    }
    return !stopRequested();
}

int watch(Context &ctx)
{
    installStopHandlers();
    const QString source = ctx.args.at(0);
    bool ok = true;
    const double every = ctx.parser.isSet(QStringLiteral("every"))
                             ? ctx.parser.value(QStringLiteral("every")).toDouble(&ok)
                             : 10.0;
    if (!ok || every <= 0) {
        err(QStringLiteral("chongma-cli: --every takes a number of seconds above 0"));
        return Usage;
    }
    const bool once = ctx.parser.isSet(QStringLiteral("once"));
    const QString configPath = ctx.parser.isSet(QStringLiteral("config"))
                                   ? ctx.parser.value(QStringLiteral("config"))
                                   : QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("config.ini"));
    SourceWatch sourceWatch(configPath);
    sourceWatch.loadConfig(); // keeps what the user set when the time is written back
    auto session = openSession(ctx.udlPath);

    FileStamp previous = fileStamp(source);
    // One look: a file that held still since the previous look and is newer than the last one
    // imported is imported now.
    auto check = [&] {
        const FileStamp now = fileStamp(source);
        const bool settled = now.exists && now == previous;
        previous = now;
        if (!settled || !sourceWatch.SourceChanged(source))
            return;
        ImportPrinter printer(false);
        try {
            const ImportResult result = import::RunImport(*session, source, printer);
            const ImportCounters &c = result.counters;
            out(QStringLiteral("总记录数：%1 已导入数：%2 已存在数：%3 格式错误：%4 未导入数：%5")
                    .arg(c.sum).arg(c.num).arg(c.exist).arg(c.error).arg(c.wdr));
            if (!result.complete)
                sourceWatch.retryLater();
        } catch (const Error &e) {
            err(QStringLiteral("chongma-cli: %1").arg(e.message()));
            sourceWatch.retryLater(); // tried again at the next look
        }
    };

    if (once) {
        // No timer to wait for: a second look one second after the first.
        if (pause(1.0))
            check();
        return Ok;
    }
    err(QStringLiteral("watching %1 every %2 s (config %3); Ctrl+C stops")
            .arg(QDir::toNativeSeparators(source)).arg(every).arg(QDir::toNativeSeparators(configPath)));
    while (pause(every))
        check();
    err(QStringLiteral("stopped"));
    return Ok;
}

QList<Command> commandTable()
{
    return {
        {"check", "check                  open the connection the data link describes and say what it reached",
         {}, 0, 0, check},
        {"find", "find [--json]          list every duplicated barcode and the DiskID picked for removal",
         {QStringLiteral("json")}, 0, 0, find},
        {"clear", "clear [--yes] [--del-log PATH]  find, confirm, delete the picked rows and write del.log",
         {QStringLiteral("yes"), QStringLiteral("del-log")}, 0, 0, clear},
        {"import", "import SOURCE [--dry-run] [--json]  import a material file (code page 936) into BD_Material",
         {QStringLiteral("dry-run"), QStringLiteral("json")}, 1, 1, import},
        {"watch", "watch SOURCE [--every SECONDS] [--once] [--config FILE]  import SOURCE whenever it has changed",
         {QStringLiteral("every"), QStringLiteral("once"), QStringLiteral("config")}, 1, 1, watch},
    };
}

} // namespace

int run(const QStringList &arguments)
{
    const QList<Command> commands = commandTable();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Finds and clears duplicate barcodes in diskinfo and imports material records, as the chongma window does."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOption({QStringLiteral("udl"), QStringLiteral("Data link file to connect with (default: disk.udl beside this program)."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("json"), QStringLiteral("find, import: one JSON object per line.")});
    parser.addOption({QStringLiteral("dry-run"), QStringLiteral("import: parse and look up only; insert nothing.")});
    parser.addOption({QStringLiteral("every"), QStringLiteral("watch: seconds between two looks at the file (default 10)."),
                      QStringLiteral("SECONDS")});
    parser.addOption({QStringLiteral("once"), QStringLiteral("watch: look once (twice, a second apart) and exit.")});
    parser.addOption({QStringLiteral("config"), QStringLiteral("watch: the config.ini to keep the last imported time in (default: beside this program)."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("yes"), QStringLiteral("clear: delete without asking.")});
    parser.addOption({QStringLiteral("del-log"), QStringLiteral("clear: where to write del.log (default: beside this program)."),
                      QStringLiteral("PATH")});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands below."),
                                 QStringLiteral("<command> [arguments]"));

    if (!parser.parse(arguments)) {
        err(QStringLiteral("chongma-cli: %1").arg(parser.errorText()));
        err(usageText(commands, parser));
        return Usage;
    }
    if (parser.isSet(helpOption)) {
        out(usageText(commands, parser));
        return Ok;
    }
    if (parser.isSet(versionOption)) {
        out(QStringLiteral("chongma-cli %1").arg(QCoreApplication::applicationVersion()));
        return Ok;
    }

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        err(QStringLiteral("chongma-cli: no command given"));
        err(usageText(commands, parser));
        return Usage;
    }
    const QString name = positional.takeFirst();
    for (const Command &c : commands) {
        if (name != QLatin1String(c.name))
            continue;
        if (positional.size() < c.minArgs || positional.size() > c.maxArgs) {
            err(QStringLiteral("chongma-cli: wrong number of arguments for %1").arg(name));
            err(usageText(commands, parser));
            return Usage;
        }
        for (const QString &option : parser.optionNames()) {
            if (option != QLatin1String("udl") && !c.options.contains(option)) {
                err(QStringLiteral("chongma-cli: option --%1 does not apply to %2").arg(option, name));
                err(usageText(commands, parser));
                return Usage;
            }
        }
        Context ctx{parser,
                    parser.isSet(QStringLiteral("udl"))
                        ? parser.value(QStringLiteral("udl"))
                        : QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("disk.udl")),
                    positional};
        try {
            return c.run(ctx);
        } catch (const Error &e) {
            err(QStringLiteral("chongma-cli: %1").arg(e.message()));
            return Failed;
        } catch (const std::exception &e) {
            err(QStringLiteral("chongma-cli: %1").arg(QString::fromUtf8(e.what())));
            return Failed;
        }
    }
    err(QStringLiteral("chongma-cli: unknown command '%1'").arg(name));
    err(usageText(commands, parser));
    return Usage;
}

} // namespace chongma::cli
