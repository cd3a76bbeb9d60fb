#include "cli/Texts.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace chongma::cli {

void installTranslations(QCoreApplication &app)
{
    const QLocale locale; // the user's, from the environment
    auto *own = new QTranslator(&app);
    if (own->load(locale, QStringLiteral("chongma-cli"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(own);
    else
        delete own;
    // QCommandLineParser's "Usage:", "Options:" and its help and version options.
    auto *qt = new QTranslator(&app);
    if (qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qt);
    else
        delete qt;
}

} // namespace chongma::cli
