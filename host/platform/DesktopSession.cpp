#include "platform/DesktopSession.h"

#include "platform/wayland/WaylandClient.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>

#include <X11/Xlib.h>

DesktopSession DesktopSession::probe() {
    DesktopSession s;
    s.sessionType = qEnvironmentVariable("XDG_SESSION_TYPE");
    s.waylandDisplay = qEnvironmentVariable("WAYLAND_DISPLAY");
    s.x11Display = qEnvironmentVariable("DISPLAY");
    if (!s.x11Display.isEmpty()) {
        if (Display *d = XOpenDisplay(s.x11Display.toLocal8Bit().constData())) {
            s.x11Answers = true;
            XCloseDisplay(d);
        }
    }
    if (s.wayland())
        s.waylandGlobals = WaylandClient::probeGlobals();
    // Only a session bus that is there already: no bus is started for this.
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        const QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected() && bus.interface()) {
            for (const char *name : {kMutterRemoteDesktop, kMutterScreenCast, kPortal})
                if (bus.interface()->isServiceRegistered(QLatin1String(name)))
                    s.busNames << QLatin1String(name);
            // The portal is usually started by the bus on its first use.
            const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
            if (!s.hasBusName(kPortal) && activatable.isValid() && activatable.value().contains(QLatin1String(kPortal)))
                s.busNames << QLatin1String(kPortal);
        }
    }
    return s;
}

QString DesktopSession::displayServer() const {
    if (wayland())
        return x11Answers ? QStringLiteral("xwayland") : QStringLiteral("wayland");
    return x11Answers ? QStringLiteral("x11") : QStringLiteral("none");
}
