#include "cli/Command.h"
#include "cli/Terminal.h"
#include "cli/Texts.h"
#include "data/Catalog.h"
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
        return Texts::tr("open the connection, say which of diskinfo and BD_Material can be read, and what will make "
                         "a job slow or unsafe there (missing indexes, triggers, an identity DiskID, collations)");
    }

    int execute(const Context &context) override
    {
        const std::unique_ptr<TData1> session = context.openSession();
        out(Texts::tr("connected: %1").arg(session->link().describe()));
        int readable = 0;
        for (const QString &table : {QStringLiteral("diskinfo"), QStringLiteral("BD_Material")}) {
            try {
                const QStringList columns = session->columnsOf(table);
                out(Texts::tr("%1: readable (%2)").arg(table, columns.join(QStringLiteral(", "))));
                ++readable;
            } catch (const Error &e) {
                out(Texts::tr("%1: cannot be read: %2").arg(table, e.message()));
            }
        }
        if (readable == 0) {
            err(Texts::tr("chongma-cli: the database holds neither diskinfo nor BD_Material"));
            return Failed;
        }
        // What will make a job slow or unsafe here, as the catalogue tells.
        const TableFacts diskinfo = catalog::describe(*session, QStringLiteral("diskinfo"));
        const TableFacts materials = catalog::describe(*session, QStringLiteral("BD_Material"));
        for (const TableFacts *facts : {&diskinfo, &materials}) {
            if (!facts->known)
                continue;
            for (const ColumnFacts &c : facts->columns) {
                out(QStringLiteral("%1.%2: %3%4, %5%6")
                        .arg(facts->table, c.name, c.type,
                             c.collation.isEmpty() ? QString() : QStringLiteral(" collate ") + c.collation,
                             c.indexed ? Texts::tr("indexed") : Texts::tr("no index"),
                             c.identity ? QStringLiteral(", identity") : QString()));
            }
            out(Texts::tr("%1: triggers: %2")
                    .arg(facts->table,
                         facts->triggers.isEmpty() ? Texts::tr("none") : facts->triggers.join(QStringLiteral(", "))));
        }
        QStringList warnings = catalog::warnings(diskinfo, materials);
        // A number column finds '0123' as 123: the import cannot tell its lines apart by text.
        if (materials.known && materials.column(QStringLiteral("BD_MCode"))
            && !catalog::comparesAsText(*session, QStringLiteral("BD_Material"), QStringLiteral("BD_MCode")))
            warnings << QStringLiteral("BD_Material.BD_MCode holds numbers: the server compares codes as numbers, so "
                                       "the import looks each line up on its own, in a transaction of its own");
        for (const QString &warning : warnings)
            out(Texts::tr("warning: ") + warning);
        return Ok;
    }
};

} // namespace

std::unique_ptr<Command> makeCheckCommand() { return std::make_unique<CheckCommand>(); }

} // namespace chongma::cli
