#include "app/Application.h"

#include "app/Dialogs.h"
#include "app/FrmMain.h"
#include "data/DataLink.h"
#include "data/Error.h"
#include "data/SessionHost.h"

#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

#include <cstdio>
#include <typeinfo>

#if defined(__GNUG__)
#include <cxxabi.h>
#include <cstdlib>
#endif

namespace chongma {

namespace {

QString className(const std::exception &error)
{
    const char *name = typeid(error).name();
#if defined(__GNUG__)
    int status = 0;
    char *demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status == 0 && demangled) {
        QString result = QString::fromLatin1(demangled);
        std::free(demangled);
        return result;
    }
#endif
    return QString::fromLatin1(name);
}

QString messageOf(const std::exception &error)
{
    if (const auto *e = dynamic_cast<const Error *>(&error))
        return e->message();
    return QString::fromUtf8(error.what());
}

void printToStderr(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

void showApplicationError(const std::exception &error)
{
    const QString module = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString text = applicationErrorText(error, module);
    printToStderr(text.trimmed());
    dialogs().inform(nullptr, QStringLiteral("Application Error"), text, QMessageBox::Critical);
}

} // namespace

ChongmaApplication::ChongmaApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("chongma"));
    // No display name: Qt would append it to every window's caption.

    // Standard buttons read 是, 否, 确定, 取消 as on a Chinese Windows: Qt's own translation,
    // from Qt's folder or, where Qt was shipped with the program, from beside it.
    auto *translator = new QTranslator(this);
    const QString name = QStringLiteral("qtbase_zh_CN");
    if (translator->load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        || translator->load(name, QDir(applicationDirPath()).filePath(QStringLiteral("translations"))))
        installTranslator(translator);
    else
        delete translator;
}

bool ChongmaApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        showDefaultError(messageOf(e));
    } catch (...) {
        showDefaultError(QStringLiteral("Unknown error"));
    }
    return false;
}

QString applicationTitle(const QString &executablePath)
{
    QString name = QFileInfo(executablePath).fileName();
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    if (name.isEmpty())
        return name;
    return name.left(1) + name.mid(1).toLower();
}

QString defaultHandlerText(const QString &message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void showDefaultError(const QString &message) { showDefaultError(message, QApplication::activeWindow()); }

void showDefaultError(const QString &message, QWidget *owner)
{
    const QString title = QCoreApplication::instance()
                              ? applicationTitle(QCoreApplication::applicationFilePath())
                              : QStringLiteral("Chongma");
    dialogs().inform(owner, title, defaultHandlerText(message), QMessageBox::Critical);
}

QString applicationErrorText(const std::exception &error, const QString &moduleName)
{
    QString message = messageOf(error);
    if (!message.isEmpty() && !message.endsWith(QLatin1Char('.')))
        message += QLatin1Char('.');
    // No code address is known for a C++ exception; the offset field stays zero.
    return QStringLiteral("Exception %1 in module %2 at %3.\r\n%4\r\n")
        .arg(className(error), moduleName, QStringLiteral("00000000"), message);
}

int startUp(const QString &udlPath, SessionHost &host, std::unique_ptr<TFrmMain> &window)
{
    try {
        host.open(readDataLink(udlPath));
    } catch (const ConnectionError &e) {
        // The reason goes to stderr only; the user sees the one fixed message.
        printToStderr(QStringLiteral("chongma: %1").arg(e.message()));
        dialogs().askYesNo(nullptr, QStringLiteral("提示"), QStringLiteral("数据库连接失败!"),
                           QMessageBox::Information);
        return 0;
    } catch (const std::exception &e) {
        showApplicationError(e);
        return 1;
    }

    try {
        window = std::make_unique<TFrmMain>(&host);
        window->LoadSourceWatch(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("config.ini")));
    } catch (const std::exception &e) {
        showApplicationError(e);
        return 1;
    }
    window->show();
    return -1;
}

} // namespace chongma
