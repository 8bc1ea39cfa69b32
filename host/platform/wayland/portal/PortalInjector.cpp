#include "platform/wayland/portal/PortalInjector.h"

#include "platform/wayland/portal/PortalSession.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <climits>

namespace {
// NotifyPointerAxisDiscrete's axes; key and button states.
constexpr quint32 kAxisVertical = 0;
constexpr quint32 kAxisHorizontal = 1;
constexpr quint32 kReleased = 0;
constexpr quint32 kPressed = 1;

quint32 state(bool down) {
    return down ? kPressed : kReleased;
}
} // namespace

PortalInjector::PortalInjector(std::shared_ptr<PortalSession> session) : m_session(std::move(session)) {}

PortalInjector::~PortalInjector() {
    // Sent before the session closes (it is queued behind them on the same connection).
    for (const quint32 code : std::as_const(m_keys))
        m_session->notify("NotifyKeyboardKeycode", {int(code), kReleased});
    for (const quint32 code : std::as_const(m_buttons))
        m_session->notify("NotifyPointerButton", {int(code), kReleased});
}

bool PortalInjector::working() const {
    return m_session->inputGranted() && m_session->problem().isEmpty();
}

QList<QRect> PortalInjector::monitors() const {
    QList<QRect> list;
    for (const auto &s : m_session->streams())
        list.append(s->rect);
    if (list.isEmpty())
        list.append(QRect(0, 0, 1, 1));
    return list;
}

void PortalInjector::movePointer(QPoint desktop) {
    if (!working())
        return;
    // Absolute motion is relative to a stream: the monitor under the point, else the
    // nearest one, the point brought onto it.
    const PipeWireStream *best = nullptr;
    int bestDistance = INT_MAX;
    for (const auto &s : m_session->streams()) {
        const QRect &r = s->rect;
        const int dx = desktop.x() < r.left() ? r.left() - desktop.x() : std::max(0, desktop.x() - r.right());
        const int dy = desktop.y() < r.top() ? r.top() - desktop.y() : std::max(0, desktop.y() - r.bottom());
        if (dx + dy < bestDistance) {
            bestDistance = dx + dy;
            best = s.get();
        }
    }
    if (!best)
        return;
    const QRect &r = best->rect;
    const double x = std::clamp(desktop.x(), r.left(), r.right()) - r.x();
    const double y = std::clamp(desktop.y(), r.top(), r.bottom()) - r.y();
    m_session->notify("NotifyPointerMotionAbsolute", {best->node.load(), x, y});
}

bool PortalInjector::button(int button, bool down) {
    if (!working())
        return false;
    if (button >= 4 && button <= 7) {
        // A wheel notch is one press and release: the press turns it.
        if (down) {
            const quint32 axis = button <= 5 ? kAxisVertical : kAxisHorizontal;
            const int steps = (button == 4 || button == 6) ? -1 : 1;
            m_session->notify("NotifyPointerAxisDiscrete", {axis, steps});
        }
        return true;
    }
    quint32 code = 0;
    switch (button) {
    case 1:
        code = BTN_LEFT;
        break;
    case 2:
        code = BTN_MIDDLE;
        break;
    case 3:
        code = BTN_RIGHT;
        break;
    case 8:
        code = BTN_SIDE;
        break;
    case 9:
        code = BTN_EXTRA;
        break;
    default:
        return false;
    }
    if (down)
        m_buttons.insert(code);
    else
        m_buttons.remove(code);
    m_session->notify("NotifyPointerButton", {int(code), state(down)});
    return true;
}

bool PortalInjector::key(quint32 evdev, bool down) {
    if (!working() || evdev == 0 || evdev > KEY_MAX)
        return false;
    if (down)
        m_keys.insert(evdev);
    else
        m_keys.remove(evdev);
    m_session->notify("NotifyKeyboardKeycode", {int(evdev), state(down)});
    return true;
}

bool PortalInjector::typeCharacter(char32_t ch) {
    if (!working())
        return false;
    const xkb_keysym_t sym = xkb_utf32_to_keysym(uint32_t(ch));
    if (sym == XKB_KEY_NoSymbol)
        return false;
    m_session->notify("NotifyKeyboardKeysym", {int(sym), kPressed});
    m_session->notify("NotifyKeyboardKeysym", {int(sym), kReleased});
    return true;
}
