// chongma-cli: the command-line companion of the chongma window, for scripted and scheduled runs.
#include "cli/Commands.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("chongma-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CHONGMA_VERSION));
    return chongma::cli::run(QCoreApplication::arguments());
}
