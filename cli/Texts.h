#pragma once

#include <QCoreApplication>

namespace chongma::cli {

// The command-line tool's own texts, in the user's language: English in the source, Simplified
// Chinese from translations/chongma-cli_zh_CN.ts, built into the program. The window's texts
// and the log lines the jobs write stay as they are.
struct Texts {
    Q_DECLARE_TR_FUNCTIONS(Texts)
};

// Loads the translation for the user's locale (LC_ALL, LC_MESSAGES, LANG) and Qt's own one for
// the parser's texts; English when there is none.
void installTranslations(QCoreApplication &app);

} // namespace chongma::cli
