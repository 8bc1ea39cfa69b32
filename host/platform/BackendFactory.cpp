#include "platform/BackendFactory.h"

#include "platform/x11/X11Backend.h"

namespace BackendFactory {

Choice choose(const DesktopSession &session) {
    if (session.x11Answers)
        return {QStringLiteral("x11"), {}};
    if (session.wayland())
        return {{}, QStringLiteral("a Wayland session without a usable X display: sharing needs X11 for now")};
    if (session.x11Display.isEmpty())
        return {{}, QStringLiteral("no desktop session: DISPLAY is not set")};
    return {{}, QStringLiteral("cannot open the X display \"%1\"").arg(session.x11Display)};
}

std::unique_ptr<DesktopBackend> create(const Choice &choice) {
    if (choice.name == QLatin1String("x11"))
        return std::make_unique<X11Backend>();
    return nullptr;
}

} // namespace BackendFactory
