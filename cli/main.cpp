// chongma-cli: the command-line companion of the chongma window, for scripted and scheduled runs.
#include "cli/Commands.h"
#include "cli/Texts.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("chongma-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CHONGMA_VERSION));
    chongma::cli::installTranslations(app);
    return chongma::cli::run(QCoreApplication::arguments());
}
