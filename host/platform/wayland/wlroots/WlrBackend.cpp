#include "platform/wayland/wlroots/WlrBackend.h"

#include "platform/wayland/wlroots/WlrClipboard.h"
#include "platform/wayland/wlroots/WlrInjector.h"
#include "platform/wayland/wlroots/WlrScreenCapture.h"

ScreenCapture *WlrBackend::openCapture(QObject *parent, QString *problem) {
    auto *capture = new WlrScreenCapture(parent);
    if (capture->available())
        return capture;
    *problem = capture->problem();
    delete capture;
    return nullptr;
}

std::unique_ptr<InputInjector> WlrBackend::openInput(QString *problem) {
    return WlrInjector::open(problem);
}

std::unique_ptr<ClipboardBackend> WlrBackend::openClipboard(QString *problem) {
    return WlrClipboard::open(problem);
}
