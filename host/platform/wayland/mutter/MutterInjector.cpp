#include "platform/wayland/mutter/MutterInjector.h"

#include "platform/wayland/mutter/MutterSession.h"

// Mutter's calls: NotifyPointerMotionAbsolute(s stream, d, d), NotifyPointerButton(i, b),
// NotifyPointerAxisDiscrete(u, i), NotifyKeyboardKeycode(u, b), NotifyKeyboardKeysym(u, b).
MutterInjector::MutterInjector(std::shared_ptr<MutterSession> session)
    : RemoteDesktopInjector(*session), m_session(std::move(session)) {}

MutterInjector::~MutterInjector() {
    releaseAll();
}

bool MutterInjector::working() const {
    return m_session->problem().isEmpty();
}

void MutterInjector::motion(const PipeWireStream &stream, double x, double y) {
    m_session->notify("NotifyPointerMotionAbsolute", {stream.path, x, y});
}

void MutterInjector::pointerButton(quint32 code, bool down) {
    m_session->notify("NotifyPointerButton", {int(code), down});
}

void MutterInjector::axisDiscrete(quint32 axis, int steps) {
    m_session->notify("NotifyPointerAxisDiscrete", {axis, steps});
}

void MutterInjector::keycode(quint32 evdev, bool down) {
    m_session->notify("NotifyKeyboardKeycode", {evdev, down});
}

void MutterInjector::keysym(quint32 sym, bool down) {
    m_session->notify("NotifyKeyboardKeysym", {sym, down});
}
