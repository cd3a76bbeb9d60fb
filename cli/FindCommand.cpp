#include "cli/Command.h"
#include "cli/StopSignal.h"
#include "cli/Terminal.h"
#include "cli/Texts.h"
#include "data/OperationSink.h"
#include "data/Session.h"
#include "dedupe/DuplicateSearch.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace chongma::cli {

namespace {

class SearchProgress : public OperationSink {
public:
    void progress(qint64 done, qint64 total) override { m_line.update(done, total); }

private:
    ProgressLine m_line{Texts::tr("searching"), Texts::tr("rows")};
};

class FindCommand : public Command {
public:
    QString name() const override { return QStringLiteral("find"); }
    QString synopsis() const override { return QStringLiteral("[--json]"); }
    QString summary() const override
    {
        return Texts::tr("list every duplicated barcode and the DiskID picked for removal: \"barcode<TAB>DiskID\" "
                         "(\"-\": no row can be picked), or with --json one object per line (with a \"reason\" "
                         "where there is no id)");
    }
    QList<QCommandLineOption> options() const override
    {
        return {{QStringLiteral("json"), Texts::tr("find, import: one JSON object per line.")}};
    }

    int execute(const Context &context) override
    {
        const std::unique_ptr<TData1> session = context.openSession();
        SearchResult result;
        {
            SearchProgress progress;
            result = dedupe::findDuplicates(*session, progress, stopToken());
        }
        if (const std::optional<int> code = unfinished(result.ending, Texts::tr("the search was cancelled")))
            return *code;
        const bool json = context.isSet(QStringLiteral("json"));
        for (const DuplicatePick &pick : std::as_const(result.duplicates)) {
            if (json) {
                QJsonObject o;
                o.insert(QStringLiteral("barcode"), pick.barcode);
                o.insert(QStringLiteral("diskId"), pick.diskId ? QJsonValue(*pick.diskId) : QJsonValue(QJsonValue::Null));
                if (!pick.diskId)
                    o.insert(QStringLiteral("reason"), pick.reason);
                out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
            } else {
                out(pick.barcode + QLatin1Char('\t') + (pick.diskId ? QString::number(*pick.diskId) : QStringLiteral("-")));
            }
        }
        err(Texts::tr("%1 duplicated barcodes, %2 rows picked for removal")
                .arg(result.duplicates.size())
                .arg(result.pickedIds().size()));
        return Ok;
    }
};

} // namespace

std::unique_ptr<Command> makeFindCommand() { return std::make_unique<FindCommand>(); }

} // namespace chongma::cli
