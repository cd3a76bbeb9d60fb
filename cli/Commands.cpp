#include "cli/Commands.h"

#include "cli/Command.h"
#include "cli/StopSignal.h"
#include "cli/Terminal.h"
#include "cli/Texts.h"
#include "data/DataLink.h"
#include "data/Error.h"
#include "data/Session.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>

namespace chongma::cli {

DataLink Context::dataLink() const
{
    DataLink link = readDataLink(udlPath);
    if (commandTimeout)
        link.commandTimeout = *commandTimeout;
    return link;
}

std::unique_ptr<TData1> Context::openSession() const
{
    try {
        return std::make_unique<TData1>(dataLink());
    } catch (const ConnectionError &e) {
        throw ConnectionError(Texts::tr("cannot connect: %1").arg(e.message()));
    }
}

std::optional<int> unfinished(const JobEnding &ending, const QString &stopped)
{
    if (ending.isFailed()) {
        err(QStringLiteral("chongma-cli: %1").arg(ending.message));
        return Failed;
    }
    if (ending.isStopped()) {
        err(QStringLiteral("chongma-cli: %1").arg(stopped));
        return Cancelled;
    }
    return std::nullopt;
}

QString Context::besideProgram(const QString &name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

namespace {

QList<std::shared_ptr<Command>> commandTable()
{
    return {makeCheckCommand(), makeFindCommand(), makeClearCommand(), makeRestoreCommand(),
            makeImportCommand(), makeWatchCommand()};
}

QString usageText(const QList<std::shared_ptr<Command>> &commands, const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    text += Texts::tr("\nCommands:\n");
    for (const auto &c : commands) {
        text += QStringLiteral("  %1 %2\n      %3\n").arg(c->name(), c->synopsis(), c->summary());
    }
    text += Texts::tr("\nThe data link (disk.udl) defaults to the one beside this program, as the window's.\n"
                      "Ctrl+C (or SIGTERM) stops a command at its next row, batch or line; what was done stays done.\n"
                      "Exit codes: 0 done; 1 failed (the reason on stderr); 2 bad usage, or clear with no terminal to\n"
                      "ask on and without --yes (nothing deleted); 3 done, but rows were refused by the database\n"
                      "(clear) or text after a NUL byte was not read (import); 130 cancelled by Ctrl+C or SIGTERM.\n");
    return text;
}

} // namespace

int run(const QStringList &arguments)
{
    installStopHandlers();
    const QList<std::shared_ptr<Command>> commands = commandTable();

    QCommandLineParser parser;
    parser.setApplicationDescription(Texts::tr(
        "Finds and clears duplicate barcodes in diskinfo and imports material records, as the chongma window does."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOption({QStringLiteral("udl"),
                      Texts::tr("Data link file to connect with (default: disk.udl beside this program)."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("timeout"),
                      Texts::tr("Time limit of every statement in seconds, 0 for none (default: the data link's "
                                "Command Timeout, else 30)."),
                      QStringLiteral("SECONDS")});
    QSet<QString> declared;
    for (const auto &c : commands) {
        for (const QCommandLineOption &option : c->options()) {
            if (!declared.contains(option.names().first())) {
                declared.insert(option.names().first());
                parser.addOption(option);
            }
        }
    }
    parser.addPositionalArgument(QStringLiteral("command"), Texts::tr("One of the commands below."),
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
        err(Texts::tr("chongma-cli: no command given"));
        err(usageText(commands, parser));
        return Usage;
    }
    const QString name = positional.takeFirst();
    for (const auto &c : commands) {
        if (name != c->name())
            continue;
        if (positional.size() < c->minArgs() || positional.size() > c->maxArgs()) {
            err(Texts::tr("chongma-cli: wrong number of arguments for %1").arg(name));
            err(usageText(commands, parser));
            return Usage;
        }
        QStringList own{QStringLiteral("udl"), QStringLiteral("timeout")};
        for (const QCommandLineOption &option : c->options())
            own += option.names();
        for (const QString &option : parser.optionNames()) {
            if (!own.contains(option)) {
                err(Texts::tr("chongma-cli: option --%1 does not apply to %2").arg(option, name));
                err(usageText(commands, parser));
                return Usage;
            }
        }
        std::optional<int> timeout;
        if (parser.isSet(QStringLiteral("timeout"))) {
            bool ok = false;
            const int seconds = parser.value(QStringLiteral("timeout")).toInt(&ok);
            if (!ok || seconds < 0) {
                err(Texts::tr("chongma-cli: --timeout takes a number of seconds (0 or more)"));
                return Usage;
            }
            timeout = seconds;
        }
        const Context context{parser,
                              parser.isSet(QStringLiteral("udl")) ? parser.value(QStringLiteral("udl"))
                                                                  : Context::besideProgram(QStringLiteral("disk.udl")),
                              positional, timeout};
        try {
            return c->execute(context);
        } catch (const Error &e) {
            err(QStringLiteral("chongma-cli: %1").arg(e.message()));
            return Failed;
        } catch (const std::exception &e) {
            err(QStringLiteral("chongma-cli: %1").arg(QString::fromUtf8(e.what())));
            return Failed;
        }
    }
    err(Texts::tr("chongma-cli: unknown command '%1'").arg(name));
    err(usageText(commands, parser));
    return Usage;
}

} // namespace chongma::cli
