#include "shell/QtTranslations.h"
#include "shell/SingleInstance.h"
#include "shell/UnixSignals.h"
#include "shell/VelmoRemoteApp.h"

#include <QApplication>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmo-remote"));
    QApplication::setDesktopFileName(QStringLiteral("velmo-remote"));
    QApplication::setApplicationVersion(QStringLiteral(VELMO_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    QtTranslations::install(&app);

    SingleInstance instance(SingleInstance::defaultName());
    if (!instance.claim())
        return 0; // the running instance shows its window

    VelmoRemoteApp velmo;
    QObject::connect(&instance, &SingleInstance::reopenRequested, &velmo, &VelmoRemoteApp::handleReopen);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &velmo, &VelmoRemoteApp::willTerminate);
    UnixSignals::quitOnTermination();
    velmo.didFinishLaunching();
    return app.exec();
}
