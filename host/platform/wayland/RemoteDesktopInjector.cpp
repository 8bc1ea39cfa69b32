#include "platform/wayland/RemoteDesktopInjector.h"

#include "platform/wayland/StreamSession.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <climits>

namespace {
constexpr quint32 kAxisVertical = 0;
constexpr quint32 kAxisHorizontal = 1;
} // namespace

void RemoteDesktopInjector::releaseAll() {
    // Sent before the session ends (it is queued behind them on the same connection).
    for (const quint32 code : std::exchange(m_keys, {}))
        keycode(code, false);
    for (const quint32 code : std::exchange(m_buttons, {}))
        pointerButton(code, false);
}

QList<QRect> RemoteDesktopInjector::monitors() const {
    QList<QRect> list;
    for (const auto &s : m_streams.streams())
        list.append(s->rect);
    return list;
}

void RemoteDesktopInjector::movePointer(QPoint desktop) {
    if (!working())
        return;
    const PipeWireStream *best = nullptr;
    int bestDistance = INT_MAX;
    for (const auto &s : m_streams.streams()) {
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
    motion(*best, std::clamp(desktop.x(), r.left(), r.right()) - r.x(),
           std::clamp(desktop.y(), r.top(), r.bottom()) - r.y());
}

bool RemoteDesktopInjector::button(int button, bool down) {
    if (!working())
        return false;
    if (button >= 4 && button <= 7) {
        // A wheel notch is one press and release: the press turns it.
        if (down)
            axisDiscrete(button <= 5 ? kAxisVertical : kAxisHorizontal, (button == 4 || button == 6) ? -1 : 1);
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
    pointerButton(code, down);
    return true;
}

bool RemoteDesktopInjector::key(quint32 evdev, bool down) {
    if (!working() || evdev == 0 || evdev > KEY_MAX)
        return false;
    if (down)
        m_keys.insert(evdev);
    else
        m_keys.remove(evdev);
    keycode(evdev, down);
    return true;
}

bool RemoteDesktopInjector::typeCharacter(char32_t ch) {
    if (!working())
        return false;
    const xkb_keysym_t sym = xkb_utf32_to_keysym(uint32_t(ch));
    if (sym == XKB_KEY_NoSymbol)
        return false;
    keysym(sym, true);
    keysym(sym, false);
    return true;
}
