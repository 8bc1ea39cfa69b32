#pragma once

#include <QList>
#include <QPoint>
#include <QRect>

// Where the viewers' input goes on this machine: the pointer, the buttons and the keys
// of the shared desktop. One per agent, shared by every viewer session; each call
// reaches the desktop at once (nothing is batched). X11 fills it with XTest
// (XTestInjector); Wayland desktops through the compositor's remote-desktop session
// (RemoteDesktopInjector: Mutter's own, or the portal's) or wlroots' virtual devices
// (WlrInjector).
// Main thread only.
class InputInjector {
public:
    virtual ~InputInjector() = default;

    // The monitors' rectangles in desktop pixels, in the capture's order (id 1 first);
    // the whole desktop when the layout is unknown. Never empty.
    virtual QList<QRect> monitors() const = 0;

    virtual void movePointer(QPoint desktop) = 0;
    // Buttons numbered as X does: 1 left, 2 middle, 3 right, 4/5 wheel up/down,
    // 6/7 wheel left/right. False when the desktop has no such button.
    virtual bool button(int button, bool down) = 0;
    // A key by its Linux evdev code. False when the desktop has no such key.
    virtual bool key(quint32 evdev, bool down) = 0;
    // Types one character (pressed and released), also one that no key of the
    // desktop's layout gives. False when it cannot be typed.
    virtual bool typeCharacter(char32_t ch) = 0;
};
