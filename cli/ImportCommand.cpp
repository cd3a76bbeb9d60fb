#include "cli/Command.h"
#include "cli/ImportPrinter.h"
#include "cli/StopSignal.h"
#include "cli/Terminal.h"
#include "cli/Texts.h"
#include "data/Session.h"
#include "import/ImportRun.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace chongma::cli {

namespace {

class ImportCommand : public Command {
public:
    QString name() const override { return QStringLiteral("import"); }
    QString synopsis() const override { return QStringLiteral("SOURCE [--dry-run] [--json] [--encoding NAME]"); }
    QString summary() const override { return Texts::tr("import a material file into BD_Material, as the window does"); }
    QList<QCommandLineOption> options() const override
    {
        return {
            {QStringLiteral("dry-run"), Texts::tr("import, restore: look only; write nothing.")},
            {QStringLiteral("json"), Texts::tr("find, import: one JSON object per line.")},
            {QStringLiteral("encoding"),
             Texts::tr("import: the source's encoding: auto (default: a byte-order mark, else UTF-8 when the "
                       "text is valid UTF-8 with non-ASCII characters, else GBK), gbk, utf-8, utf-16le or utf-16be."),
             QStringLiteral("NAME")},
        };
    }
    int minArgs() const override { return 1; }
    int maxArgs() const override { return 1; }

    int execute(const Context &context) override
    {
        std::optional<import::SourceEncoding> encoding = import::SourceEncoding::Auto;
        if (context.isSet(QStringLiteral("encoding"))) {
            encoding = encodingNamed(context.value(QStringLiteral("encoding")));
            if (!encoding) {
                err(Texts::tr("chongma-cli: --encoding takes auto, gbk, utf-8, utf-16le or utf-16be"));
                return Usage;
            }
        }
        const std::unique_ptr<TData1> session = context.openSession();
        const bool json = context.isSet(QStringLiteral("json"));
        ImportRequest request;
        request.path = context.args.at(0);
        request.dryRun = context.isSet(QStringLiteral("dry-run"));
        request.encoding = *encoding;
        ImportResult result;
        {
            ImportPrinter printer(json);
            result = import::RunImport(*session, request, printer, stopToken());
        }
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
            out(ImportPrinter::summary(c));
            if (request.dryRun)
                out(Texts::tr("(dry run: nothing was inserted)"));
        }
        if (!result.encoding.isEmpty())
            err(Texts::tr("source read as %1%2")
                    .arg(result.encoding, result.converted ? Texts::tr(", converted to GBK") : QString()));
        if (const std::optional<int> code = unfinished(
                result.ending, Texts::tr("the import was cancelled after %1 of %2 lines").arg(c.sum - c.wdr).arg(c.sum)))
            return *code;
        if (result.nulOffset >= 0) {
            err(Texts::tr("chongma-cli: a NUL byte at offset %1 ended the text; %2 after it were not read")
                    .arg(result.nulOffset)
                    .arg(result.bytesNotRead >= 0 ? Texts::tr("%1 bytes").arg(result.bytesNotRead)
                                                  : Texts::tr("the bytes")));
            return Partial;
        }
        return Ok;
    }

private:
    static std::optional<import::SourceEncoding> encodingNamed(const QString &name)
    {
        const QString n = name.trimmed().toLower();
        if (n == u"auto")
            return import::SourceEncoding::Auto;
        if (n == u"gbk" || n == u"cp936" || n == u"936")
            return import::SourceEncoding::Gbk;
        if (n == u"utf-8" || n == u"utf8")
            return import::SourceEncoding::Utf8;
        if (n == u"utf-16le" || n == u"utf16le")
            return import::SourceEncoding::Utf16LE;
        if (n == u"utf-16be" || n == u"utf16be")
            return import::SourceEncoding::Utf16BE;
        return std::nullopt;
    }
};

} // namespace

std::unique_ptr<Command> makeImportCommand() { return std::make_unique<ImportCommand>(); }

} // namespace chongma::cli
