#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <memory>

namespace chongma {

class SessionHost;
class TFrmMain;

// The application object: its default handler shows any exception that escapes an event
// handler in a box and lets the loop go on; nothing unwinds through Qt.
class ChongmaApplication : public QApplication {
public:
    ChongmaApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// "CHONGMA.EXE" -> "Chongma": the executable's name without folder, cut before its first full
// stop, the first character as it is and the rest lower case.
QString applicationTitle(const QString &executablePath);

// The default handler's text: the message with a full stop appended when it is not empty and
// its last character sorts after the full stop.
QString defaultHandlerText(const QString &message);

// The default handler: a box captioned with the application title, error icon, OK, owned by the
// active window or by `owner`.
void showDefaultError(const QString &message);
void showDefaultError(const QString &message, QWidget *owner);

// The text of the "Application Error" box for an error that stopped start-up.
QString applicationErrorText(const std::exception &error, const QString &moduleName);

// Start-up after the single-instance check: the session from the data link, then the window.
// Returns the exit code when start-up ends the program (0 after the connection failure box,
// 1 after the "Application Error" box); -1 when the window is shown and the loop may run.
int startUp(const QString &udlPath, SessionHost &host, std::unique_ptr<TFrmMain> &window);

} // namespace chongma
