#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include "data/Job.h"

#include <memory>
#include <optional>

namespace chongma {
struct DataLink;
class TData1;
} // namespace chongma

namespace chongma::cli {

// Exit codes shared by every command.
enum Exit {
    Ok = 0,
    Failed = 1,     // the reason on stderr
    Usage = 2,      // bad usage, or clear without a terminal to ask on and without --yes
    Partial = 3,    // done, but not all of it: rows the database refused, text after a NUL
    Cancelled = 130 // Ctrl+C or SIGTERM: stopped at the next row, batch or line
};

struct Context {
    const QCommandLineParser &parser;
    QString udlPath;
    QStringList args;                   // positional arguments after the command's name
    std::optional<int> commandTimeout;  // --timeout, seconds

    bool isSet(const QString &option) const { return parser.isSet(option); }
    QString value(const QString &option) const { return parser.value(option); }
    // The data link, with --timeout applied. Throws ConnectionError.
    DataLink dataLink() const;
    // A session on it. Throws ConnectionError ("cannot connect: ...").
    std::unique_ptr<TData1> openSession() const;
    // A file beside the program (del.log, config.ini), as the window keeps them.
    static QString besideProgram(const QString &name);
};

// One command: its syntax, its own options and what it does, declared together.
class Command {
public:
    virtual ~Command() = default;
    virtual QString name() const = 0;
    virtual QString synopsis() const = 0; // arguments and options, after the name
    virtual QString summary() const = 0;
    virtual QList<QCommandLineOption> options() const { return {}; }
    virtual int minArgs() const { return 0; }
    virtual int maxArgs() const { return 0; }
    virtual int execute(const Context &context) = 0;
};

// The exit for a job that did not run to its end: its message for a failure, `stopped` for a
// cancel, both on stderr. Nothing for a job that is done.
std::optional<int> unfinished(const JobEnding &ending, const QString &stopped);

std::unique_ptr<Command> makeCheckCommand();
std::unique_ptr<Command> makeFindCommand();
std::unique_ptr<Command> makeClearCommand();
std::unique_ptr<Command> makeRestoreCommand();
std::unique_ptr<Command> makeImportCommand();
std::unique_ptr<Command> makeWatchCommand();

} // namespace chongma::cli
