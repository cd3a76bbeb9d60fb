#include "app/Application.h"
#include "app/FrmMain.h"
#include "app/InstanceLock.h"
#include "data/SessionHost.h"

#include <QDir>

int main(int argc, char **argv)
{
    // Checked before anything else, so a second copy leaves at once without a trace.
    chongma::InstanceLock lock;
    if (!lock.acquire())
        return 0;

    chongma::ChongmaApplication app(argc, argv);
    chongma::SessionHost host;
    std::unique_ptr<chongma::TFrmMain> window;
    const int early = chongma::startUp(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("disk.udl")),
                                       host, window);
    if (early >= 0)
        return early;
    const int code = app.exec();
    window.reset(); // the window first, then the session
    return code;
}
