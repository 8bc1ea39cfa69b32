#include "support/XEventWindow.h"

#include <algorithm>

#include <poll.h>
#include <time.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {
qint64 nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

XEventWindow::~XEventWindow() {
    if (m_display) {
        if (m_window)
            XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }
}

bool XEventWindow::open(QString *error) {
    m_display = XOpenDisplay(nullptr);
    if (!m_display) {
        *error = QStringLiteral("cannot open DISPLAY");
        return false;
    }
    const int screen = DefaultScreen(m_display);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask =
        KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask;
    attrs.background_pixel = BlackPixel(m_display, screen);
    m_window = XCreateWindow(m_display, RootWindow(m_display, screen), 0, 0, unsigned(DisplayWidth(m_display, screen)),
                             unsigned(DisplayHeight(m_display, screen)), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWEventMask | CWBackPixel, &attrs);
    XMapRaised(m_display, m_window);
    XEvent ev;
    do {
        XWindowEvent(m_display, m_window, StructureNotifyMask, &ev);
    } while (ev.type != MapNotify);
    XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
    XSync(m_display, False);
    return true;
}

void XEventWindow::focus() {
    XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
    XSync(m_display, False);
}

void XEventWindow::fill(int x, int y, int w, int h, unsigned long rgb) {
    GC gc = XCreateGC(m_display, m_window, 0, nullptr);
    XSetForeground(m_display, gc, rgb);
    XFillRectangle(m_display, m_window, gc, x, y, unsigned(w), unsigned(h));
    XFreeGC(m_display, gc);
    XSync(m_display, False);
}

void XEventWindow::warp(int x, int y) {
    XWarpPointer(m_display, None, DefaultRootWindow(m_display), 0, 0, 0, 0, x, y);
    XSync(m_display, False);
}

int XEventWindow::fd() const {
    return ConnectionNumber(m_display);
}

void XEventWindow::pump() {
    while (XPending(m_display) > 0) {
        XEvent ev;
        XNextEvent(m_display, &ev);
        const qint64 at = nowNs();
        Event e{};
        e.atNs = at;
        switch (ev.type) {
        case MappingNotify:
            XRefreshKeyboardMapping(&ev.xmapping);
            continue;
        case KeyPress:
        case KeyRelease: {
            e.kind = ev.type == KeyPress ? KeyDown : KeyUp;
            e.keycode = ev.xkey.keycode;
            e.serverMs = ev.xkey.time;
            e.state = ev.xkey.state;
            e.x = ev.xkey.x_root;
            e.y = ev.xkey.y_root;
            char buf[32] = {};
            KeySym sym = NoSymbol;
            const int n = XLookupString(&ev.xkey, buf, sizeof buf - 1, &sym, nullptr);
            e.keysym = sym;
            // The character from the keysym (Latin-1 or the Unicode range), whatever the locale's
            // encoding; keys like Return give their control character.
            char32_t c = 0;
            if ((sym >= 0x20 && sym <= 0x7e) || (sym >= 0xa0 && sym <= 0xff))
                c = char32_t(sym);
            else if ((sym & 0xff000000) == 0x01000000)
                c = char32_t(sym & 0xffffff);
            if (c)
                e.text = QString::fromUcs4(&c, 1);
            else if (n == 1 && uchar(buf[0]) < 0x20)
                e.text = QString(QLatin1Char(buf[0]));
            break;
        }
        case ButtonPress:
        case ButtonRelease:
            e.kind = ev.type == ButtonPress ? ButtonDown : ButtonUp;
            e.button = ev.xbutton.button;
            e.state = ev.xbutton.state;
            e.x = ev.xbutton.x_root;
            e.y = ev.xbutton.y_root;
            break;
        case MotionNotify:
            e.kind = Motion;
            e.state = ev.xmotion.state;
            e.x = ev.xmotion.x_root;
            e.y = ev.xmotion.y_root;
            break;
        default:
            continue;
        }
        events.append(e);
    }
}

const XEventWindow::Event *XEventWindow::waitFor(const std::function<bool(const Event &)> &match, int ms) {
    const qint64 deadline = nowNs() + qint64(ms) * 1000000;
    qsizetype seen = m_cursor;
    for (;;) {
        pump();
        for (; seen < events.size(); ++seen) {
            if (match(events[seen])) {
                m_cursor = seen + 1;
                return &events[seen];
            }
        }
        const qint64 left = (deadline - nowNs()) / 1000000;
        if (left <= 0)
            return nullptr;
        pollfd p{fd(), POLLIN, 0};
        poll(&p, 1, int(std::min<qint64>(left, 50)));
    }
}

QList<int> XEventWindow::keysDown() const {
    char keys[32] = {};
    XQueryKeymap(m_display, keys);
    QList<int> down;
    for (int i = 0; i < 256; ++i) {
        if (keys[i / 8] & (1 << (i % 8)))
            down.append(i);
    }
    return down;
}

unsigned XEventWindow::buttonsDown() const {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask);
}

QString XEventWindow::typed() const {
    QString text;
    for (const Event &e : events) {
        if (e.kind == KeyDown)
            text += e.text;
    }
    return text;
}
