#pragma once

class QWidget;

// Window-manager hints the host-side windows need beyond Qt's flags. On X11
// they are EWMH requests to the window manager; elsewhere they do nothing.
// Call them right after show().
namespace HostWindowSystem {
// Shown on every virtual desktop (_NET_WM_DESKTOP 0xFFFFFFFF and _NET_WM_STATE_STICKY).
void makeSticky(QWidget *window);
// Kept out of the taskbar and the pager (window cycling).
void skipTaskbar(QWidget *window);
// Asks for the user's attention until the window is activated.
void requestAttention(QWidget *window);
// Raised above the other windows (where the platform can).
void bringToFront(QWidget *window);
// Whether the window system is X11 (the hints above have an effect).
bool isX11();
} // namespace HostWindowSystem
