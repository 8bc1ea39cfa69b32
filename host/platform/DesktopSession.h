#pragma once

#include <QString>
#include <QStringList>

// What the desktop session the agent runs in offers, as far as choosing a platform back
// end needs to know: the session kind and display names from the environment, whether
// an X server answers in DISPLAY, and which of the desktop services the back ends use
// are on the session bus. Gathering it may wait on a remote X server or the bus.
struct DesktopSession {
    QString sessionType;    // XDG_SESSION_TYPE ("x11", "wayland", "tty", …; "" unset)
    QString waylandDisplay; // WAYLAND_DISPLAY
    QString x11Display;     // DISPLAY
    bool x11Answers = false;
    QStringList waylandGlobals; // the interfaces the Wayland compositor offers (empty: none answers)
    QStringList busNames;       // those of kMutterRemoteDesktop, kMutterScreenCast, kPortal present

    static constexpr const char *kMutterRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
    static constexpr const char *kMutterScreenCast = "org.gnome.Mutter.ScreenCast";
    static constexpr const char *kPortal = "org.freedesktop.portal.Desktop";

    static DesktopSession probe();

    // A Wayland compositor runs this session (also when it has an Xwayland in DISPLAY).
    bool wayland() const { return !waylandDisplay.isEmpty() || sessionType == QLatin1String("wayland"); }
    bool hasBusName(const char *name) const { return busNames.contains(QLatin1String(name)); }
    bool hasGlobal(const char *interface) const { return waylandGlobals.contains(QLatin1String(interface)); }
    // For the status's `displayServer`:
    //   "x11"       an X server in DISPLAY answers and no Wayland compositor is around;
    //   "xwayland"  a Wayland session whose X server (Xwayland) answers;
    //   "wayland"   a Wayland session without a usable X display;
    //   "none"      neither.
    QString displayServer() const;
};
