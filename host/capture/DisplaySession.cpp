#include "capture/DisplaySession.h"

#include <QByteArray>
#include <QtGlobal>

#include <X11/Xlib.h>

namespace DisplaySession {

QString detect() {
    const QByteArray display = qgetenv("DISPLAY");
    bool x11 = false;
    if (!display.isEmpty()) {
        if (Display *d = XOpenDisplay(display.constData())) {
            x11 = true;
            XCloseDisplay(d);
        }
    }
    const bool wayland =
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == QByteArrayLiteral("wayland");
    if (wayland)
        return x11 ? QStringLiteral("xwayland") : QStringLiteral("wayland");
    return x11 ? QStringLiteral("x11") : QStringLiteral("none");
}

} // namespace DisplaySession
