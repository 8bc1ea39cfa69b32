#include "platform/wayland/portal/PortalInjector.h"

#include "platform/wayland/portal/PortalSession.h"

// The portal's calls (PortalSession puts the session handle and the options first):
// NotifyPointerMotionAbsolute(u stream, d, d), NotifyPointerButton(i, u state),
// NotifyPointerAxisDiscrete(u, i), NotifyKeyboardKeycode(i, u state),
// NotifyKeyboardKeysym(i, u state); a state is 0 released, 1 pressed.
namespace {
quint32 state(bool down) {
    return down ? 1 : 0;
}
} // namespace

PortalInjector::PortalInjector(std::shared_ptr<PortalSession> session)
    : RemoteDesktopInjector(*session), m_session(std::move(session)) {}

PortalInjector::~PortalInjector() {
    releaseAll();
}

bool PortalInjector::working() const {
    return m_session->inputGranted() && m_session->problem().isEmpty();
}

QList<QRect> PortalInjector::monitors() const {
    QList<QRect> list = RemoteDesktopInjector::monitors();
    if (list.isEmpty())
        list.append(QRect(0, 0, 1, 1));
    return list;
}

void PortalInjector::motion(const PipeWireStream &stream, double x, double y) {
    m_session->notify("NotifyPointerMotionAbsolute", {stream.node.load(), x, y});
}

void PortalInjector::pointerButton(quint32 code, bool down) {
    m_session->notify("NotifyPointerButton", {int(code), state(down)});
}

void PortalInjector::axisDiscrete(quint32 axis, int steps) {
    m_session->notify("NotifyPointerAxisDiscrete", {axis, steps});
}

void PortalInjector::keycode(quint32 evdev, bool down) {
    m_session->notify("NotifyKeyboardKeycode", {int(evdev), state(down)});
}

void PortalInjector::keysym(quint32 sym, bool down) {
    m_session->notify("NotifyKeyboardKeysym", {int(sym), state(down)});
}
