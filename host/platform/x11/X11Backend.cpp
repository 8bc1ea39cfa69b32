#include "platform/x11/X11Backend.h"

#include "platform/x11/X11Clipboard.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XTestInjector.h"

ScreenCapture *X11Backend::openCapture(QObject *parent, QString *problem) {
    auto *capture = new X11ScreenCapture(parent);
    if (capture->available())
        return capture;
    *problem = capture->problem();
    delete capture;
    return nullptr;
}

std::unique_ptr<InputInjector> X11Backend::openInput(QString *problem) {
    return XTestInjector::open(problem);
}

std::unique_ptr<ClipboardBackend> X11Backend::openClipboard(QString *problem) {
    return X11Clipboard::open(problem);
}
