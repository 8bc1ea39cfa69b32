#include "platform/wayland/mutter/MutterInjector.h"

#include "platform/wayland/mutter/MutterSession.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>

namespace {
// NotifyPointerAxisDiscrete's axes.
constexpr quint32 kAxisVertical = 0;
constexpr quint32 kAxisHorizontal = 1;
} // namespace

MutterInjector::MutterInjector(std::shared_ptr<MutterSession> session) : m_session(std::move(session)) {}

MutterInjector::~MutterInjector() {
    // Sent before the session stops (it is queued behind them on the same connection).
    for (const quint32 code : std::as_const(m_keys))
        m_session->notify("NotifyKeyboardKeycode", {code, false});
    for (const quint32 code : std::as_const(m_buttons))
        m_session->notify("NotifyPointerButton", {int(code), false});
}

bool MutterInjector::working() const {
    return m_session->problem().isEmpty();
}

QList<QRect> MutterInjector::monitors() const {
    QList<QRect> list;
    for (const auto &s : m_session->streams())
        list.append(s->rect);
    return list;
}

void MutterInjector::movePointer(QPoint desktop) {
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
    m_session->notify("NotifyPointerMotionAbsolute", {best->path, x, y});
}

bool MutterInjector::button(int button, bool down) {
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
    m_session->notify("NotifyPointerButton", {int(code), down});
    return true;
}

bool MutterInjector::key(quint32 evdev, bool down) {
    if (!working() || evdev == 0 || evdev > KEY_MAX)
        return false;
    if (down)
        m_keys.insert(evdev);
    else
        m_keys.remove(evdev);
    m_session->notify("NotifyKeyboardKeycode", {evdev, down});
    return true;
}

bool MutterInjector::typeCharacter(char32_t ch) {
    if (!working())
        return false;
    const xkb_keysym_t sym = xkb_utf32_to_keysym(uint32_t(ch));
    if (sym == XKB_KEY_NoSymbol)
        return false;
    m_session->notify("NotifyKeyboardKeysym", {quint32(sym), true});
    m_session->notify("NotifyKeyboardKeysym", {quint32(sym), false});
    return true;
}
