#include "sharing/HostWindowSystem.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#ifdef VELMO_HAVE_XCB
#include <xcb/xcb.h>

#include <cstring>
#endif

namespace {

#ifdef VELMO_HAVE_XCB
xcb_connection_t *connection() {
    auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t *c, const char *name) {
    xcb_intern_atom_cookie_t cookie = xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t a = reply->atom;
    free(reply);
    return a;
}

xcb_window_t rootOf(xcb_connection_t *c) {
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    return it.rem ? it.data->root : xcb_window_t(XCB_WINDOW_NONE);
}

// An EWMH client message to the root window about `window`.
void sendToRoot(xcb_connection_t *c, xcb_window_t window, xcb_atom_t type, uint32_t d0, uint32_t d1, uint32_t d2 = 0) {
    xcb_client_message_event_t ev;
    std::memset(&ev, 0, sizeof ev);
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = window;
    ev.type = type;
    ev.data.data32[0] = d0;
    ev.data.data32[1] = d1;
    ev.data.data32[2] = d2;
    ev.data.data32[3] = 1; // source: an application
    xcb_send_event(c, 0, rootOf(c), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&ev));
}

void addState(QWidget *w, const char *first, const char *second) {
    xcb_connection_t *c = connection();
    if (!c || !w)
        return;
    const auto win = xcb_window_t(w->winId());
    const xcb_atom_t state = atom(c, "_NET_WM_STATE");
    const xcb_atom_t a = atom(c, first);
    const xcb_atom_t b = second ? atom(c, second) : xcb_atom_t(XCB_ATOM_NONE);
    // Both ways: the property for a window manager that has not taken the
    // window yet, the message for one that has.
    const xcb_atom_t atoms[2] = {a, b};
    xcb_change_property(c, XCB_PROP_MODE_APPEND, win, state, XCB_ATOM_ATOM, 32, b ? 2 : 1, atoms);
    sendToRoot(c, win, state, 1 /* _NET_WM_STATE_ADD */, a, b);
    xcb_flush(c);
}
#endif

} // namespace

namespace HostWindowSystem {

bool isX11() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

void makeSticky(QWidget *w) {
#ifdef VELMO_HAVE_XCB
    xcb_connection_t *c = connection();
    if (!c || !w)
        return;
    const auto win = xcb_window_t(w->winId());
    const xcb_atom_t desktop = atom(c, "_NET_WM_DESKTOP");
    const uint32_t all = 0xFFFFFFFF;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, desktop, XCB_ATOM_CARDINAL, 32, 1, &all);
    sendToRoot(c, win, desktop, all, 1);
    xcb_flush(c);
    addState(w, "_NET_WM_STATE_STICKY", nullptr);
#else
    Q_UNUSED(w);
#endif
}

void skipTaskbar(QWidget *w) {
#ifdef VELMO_HAVE_XCB
    addState(w, "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER");
#else
    Q_UNUSED(w);
#endif
}

void bringToFront(QWidget *w) {
    // The headless platform of the tests has no stacking to change.
    if (w && QGuiApplication::platformName() != QLatin1String("offscreen"))
        w->raise();
}

void requestAttention(QWidget *w) {
    if (w)
        QApplication::alert(w, 0);
}

} // namespace HostWindowSystem
