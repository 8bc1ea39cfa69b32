#include "platform/BackendFactory.h"

#include "platform/wayland/mutter/MutterBackend.h"
#include "platform/wayland/portal/PortalBackend.h"
#include "platform/wayland/wlroots/WlrBackend.h"
#include "platform/x11/X11Backend.h"

namespace BackendFactory {

Choice choose(const DesktopSession &session, bool unattended) {
    if (session.wayland()) {
        // A Wayland desktop is shared through the compositor itself. Its Xwayland (DISPLAY)
        // shows X11 windows only, and often not even those (MIT-SHM fails there): never used.
        if (session.hasGlobal("zwlr_screencopy_manager_v1"))
            return {QStringLiteral("wlroots"), {}};
        // GNOME: Mutter's own remote-desktop and screen-cast services share the desktop
        // without asking anyone there: only when the owner chose unattended access.
        const bool mutter = session.hasBusName(DesktopSession::kMutterRemoteDesktop) &&
                            session.hasBusName(DesktopSession::kMutterScreenCast);
        if (mutter && unattended)
            return {QStringLiteral("mutter"), {}};
        // Every other desktop with the portal (GNOME, KDE Plasma, …): its user allows it in a
        // dialog. The portal serves the compositor's screen: without one answering it has
        // none to show (a bus may start a portal for any session).
        if (session.hasBusName(DesktopSession::kPortal) && !session.waylandGlobals.isEmpty())
            return {QStringLiteral("portal"), {}};
        if (mutter)
            return {
                {},
                QStringLiteral("GNOME's desktop portal (xdg-desktop-portal) is not on the session bus, and Mutter's "
                               "own remote desktop is used only with unattended access turned on")};
        const QString where = session.waylandDisplay.isEmpty() ? QStringLiteral("wayland-0") : session.waylandDisplay;
        QString why =
            session.waylandGlobals.isEmpty()
                ? QStringLiteral("no Wayland compositor answers at \"%1\"").arg(where)
                : QStringLiteral(
                      "the Wayland compositor at \"%1\" offers no way to capture its screen "
                      "that this agent knows (wlr-screencopy, xdg-desktop-portal, or Mutter's remote desktop on the "
                      "session bus)")
                      .arg(where);
        if (session.x11Answers)
            why += QStringLiteral("; its Xwayland (DISPLAY %1) would show X11 windows only, so it is not used")
                       .arg(session.x11Display);
        return {{}, why};
    }
    if (session.x11Answers)
        return {QStringLiteral("x11"), {}};
    if (session.x11Display.isEmpty())
        return {{}, QStringLiteral("no desktop session: DISPLAY is not set")};
    return {{}, QStringLiteral("cannot open the X display \"%1\"").arg(session.x11Display)};
}

std::unique_ptr<DesktopBackend> create(const Choice &choice, const QString &dataDir) {
    if (choice.name == QLatin1String("x11"))
        return std::make_unique<X11Backend>();
    if (choice.name == QLatin1String("wlroots"))
        return std::make_unique<WlrBackend>();
    if (choice.name == QLatin1String("mutter"))
        return std::make_unique<MutterBackend>();
    if (choice.name == QLatin1String("portal"))
        return std::make_unique<PortalBackend>(dataDir);
    return nullptr;
}

} // namespace BackendFactory
