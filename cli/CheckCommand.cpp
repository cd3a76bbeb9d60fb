#include "cli/Command.h"
#include "cli/Terminal.h"
#include "data/DataLink.h"
#include "data/Error.h"
#include "data/Session.h"

namespace chongma::cli {

namespace {

class CheckCommand : public Command {
public:
    QString name() const override { return QStringLiteral("check"); }
    QString synopsis() const override { return {}; }
    QString summary() const override
    {
        return QStringLiteral("open the connection, run a harmless query and say which of diskinfo and BD_Material can be read");
    }

    int execute(const Context &context) override
    {
        const std::unique_ptr<TData1> session = context.openSession();
        out(QStringLiteral("connected: %1").arg(session->link().describe()));
        int readable = 0;
        for (const QString &table : {QStringLiteral("diskinfo"), QStringLiteral("BD_Material")}) {
            try {
                const QStringList columns = session->columnsOf(table);
                out(QStringLiteral("%1: readable (%2)").arg(table, columns.join(QStringLiteral(", "))));
                ++readable;
            } catch (const Error &e) {
                out(QStringLiteral("%1: cannot be read: %2").arg(table, e.message()));
            }
        }
        if (readable == 0) {
            err(QStringLiteral("chongma-cli: the database holds neither diskinfo nor BD_Material"));
            return Failed;
        }
        return Ok;
    }
};

} // namespace

std::unique_ptr<Command> makeCheckCommand() { return std::make_unique<CheckCommand>(); }

} // namespace chongma::cli
