#include "platform/x11/XTestInjector.h"

#include "platform/x11/X11ErrorTrap.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <algorithm>

// Xlib's macros (None, Bool, KeyPress, …) clash with Qt's names: included last.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

Q_LOGGING_CATEGORY(lcInput, "velmo.input")

namespace {

// The keysym of a Unicode character: Latin-1 has its own, everything else the
// Unicode range of keysyms.
KeySym keysymOf(char32_t ch) {
    if ((ch >= 0x20 && ch <= 0x7e) || (ch >= 0xa0 && ch <= 0xff))
        return KeySym(ch);
    return KeySym(0x01000000 | ch);
}
} // namespace

std::unique_ptr<XTestInjector> XTestInjector::open(QString *problem) {
    const QByteArray name = qgetenv("DISPLAY");
    if (name.isEmpty()) {
        *problem = QStringLiteral("DISPLAY is not set: no X11 desktop to send input to");
        return nullptr;
    }
    Display *display = XOpenDisplay(name.constData());
    if (!display) {
        *problem = QStringLiteral("cannot open the X display %1").arg(QString::fromLocal8Bit(name));
        return nullptr;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        *problem = QStringLiteral("the X display %1 has no XTEST extension").arg(QString::fromLocal8Bit(name));
        return nullptr;
    }
    // Protocol errors of this connection (a keycode another client just took away, a
    // button the server does not have) are logged; Xlib's default handler would end the
    // whole agent.
    X11ErrorTrap::install();
    return std::unique_ptr<XTestInjector>(new XTestInjector(display));
}

XTestInjector::XTestInjector(_XDisplay *display) : m_display(display) {
    XDisplayKeycodes(m_display, &m_minKeycode, &m_maxKeycode);
    unsigned char map[256];
    m_buttons = XGetPointerMapping(m_display, map, sizeof map);
    // The server does not send key events of this client back to it, but the
    // mapping and layout changes must be seen.
    int rrError = 0;
    if (XRRQueryExtension(m_display, &m_randrEvent, &rrError))
        XRRSelectInput(m_display, DefaultRootWindow(m_display),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    else
        m_randrEvent = -1;
    // Our own key events must not be held back by a grab of this client.
    XTestGrabControl(m_display, True);
    readKeymap();

    m_restore.setSingleShot(true);
    m_restore.setInterval(restoreAfterMs);
    connect(&m_restore, &QTimer::timeout, this, [this] {
        if (busy())
            m_restore.start(); // still typing
        else
            restoreSpares();
    });
    m_settle.setSingleShot(true);
    m_settle.setInterval(settleMs);
    connect(&m_settle, &QTimer::timeout, this, &XTestInjector::settled);
    m_gap.setSingleShot(true);
    m_gap.setInterval(bindGapMs);
    connect(&m_gap, &QTimer::timeout, this, [this] {
        m_gapping = false;
        drain();
    });
    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XTestInjector::readEvents);
    flush();
    qCInfo(lcInput) << "XTEST input on" << DisplayString(m_display) << "keycodes" << m_minKeycode << "…" << m_maxKeycode
                    << "," << m_buttons << "buttons," << m_spares.size() << "spare keycodes";
}

XTestInjector::~XTestInjector() {
    // What waits is given up, but nothing stays pressed.
    for (const Pending &p : m_queue) {
        if (p.kind == Pending::Key && !p.down)
            XTestFakeKeyEvent(m_display, unsigned(p.value), False, CurrentTime);
        else if (p.kind == Pending::Button && !p.down)
            XTestFakeButtonEvent(m_display, unsigned(p.value), False, CurrentTime);
    }
    restoreSpares();
    delete m_notifier;
    X11ErrorTrap::forget(m_display);
    XCloseDisplay(m_display);
}

void XTestInjector::flush() {
    XFlush(m_display);
}

// Main thread, when the connection's socket has data: events are read so that they
// never pile up, and the cached mapping and monitors are marked stale.
void XTestInjector::readEvents() {
    while (XPending(m_display) > 0) {
        XEvent ev;
        XNextEvent(m_display, &ev);
        if (ev.type == MappingNotify) {
            XRefreshKeyboardMapping(&ev.xmapping);
            m_keymapStale = true;
        } else if (m_randrEvent >= 0 && ev.type >= m_randrEvent && ev.type <= m_randrEvent + RRNotify) {
            XRRUpdateConfiguration(&ev);
            m_monitorsStale = true;
        }
    }
}

void XTestInjector::readKeymap() {
    const int count = m_maxKeycode - m_minKeycode + 1;
    int perCode = 0;
    KeySym *syms = XGetKeyboardMapping(m_display, KeyCode(m_minKeycode), count, &perCode);
    m_keymapStale = false;
    if (!syms) {
        m_keymap.clear();
        m_symsPerCode = 0;
        return;
    }
    m_keymap.assign(syms, syms + size_t(count) * size_t(perCode));
    m_symsPerCode = perCode;
    XFree(syms);

    m_shiftCode = 0;
    for (int kc = m_minKeycode; kc <= m_maxKeycode && !m_shiftCode; ++kc) {
        if (symAt(kc, 0) == XK_Shift_L)
            m_shiftCode = kc;
    }
    // Spare keycodes are chosen once, from the top: those without any keysym.
    if (m_spares.empty()) {
        for (int kc = m_maxKeycode; kc >= m_minKeycode && int(m_spares.size()) < maxSpares; --kc) {
            bool empty = true;
            for (int i = 0; i < m_symsPerCode && empty; ++i)
                empty = symAt(kc, i) == NoSymbol;
            if (empty)
                m_spares.push_back({kc, 0, 0});
        }
    }
}

unsigned long XTestInjector::symAt(int kc, int index) const {
    if (kc < m_minKeycode || kc > m_maxKeycode || index < 0 || index >= m_symsPerCode)
        return NoSymbol;
    const size_t at = size_t(kc - m_minKeycode) * size_t(m_symsPerCode) + size_t(index);
    return at < m_keymap.size() ? m_keymap[at] : NoSymbol;
}

void XTestInjector::readMonitors() const {
    m_monitorsStale = false;
    m_monitorsAge.start();
    m_monitors.clear();
    Window root = DefaultRootWindow(m_display);
    if (m_randrEvent >= 0) {
        int n = 0;
        if (XRRMonitorInfo *info = XRRGetMonitors(m_display, root, True, &n)) {
            for (int i = 0; i < n; ++i) {
                if (info[i].width > 0 && info[i].height > 0)
                    m_monitors.append(QRect(info[i].x, info[i].y, info[i].width, info[i].height));
            }
            XRRFreeMonitors(info);
        }
    }
    if (m_monitors.isEmpty()) {
        const int screen = DefaultScreen(m_display);
        m_monitors.append(QRect(0, 0, DisplayWidth(m_display, screen), DisplayHeight(m_display, screen)));
    }
}

QList<QRect> XTestInjector::monitors() const {
    if (m_monitorsStale || m_monitorsAge.hasExpired(1000))
        readMonitors();
    return m_monitors;
}

bool XTestInjector::enqueue(const Pending &p) {
    const bool release = (p.kind == Pending::Key || p.kind == Pending::Button) && !p.down;
    if ((int(m_queue.size()) >= maxQueued || (p.kind == Pending::Char && m_queuedChars >= maxQueuedChars)) &&
        !release) {
        qCWarning(lcInput) << "input is coming faster than it can be typed: dropped";
        return false;
    }
    m_queue.push_back(p);
    m_queuedChars += p.kind == Pending::Char;
    return true;
}

void XTestInjector::movePointer(QPoint desktop) {
    if (busy()) {
        enqueue({Pending::Motion, 0, false, desktop});
        return;
    }
    XTestFakeMotionEvent(m_display, DefaultScreen(m_display), desktop.x(), desktop.y(), CurrentTime);
    flush();
}

bool XTestInjector::button(int button, bool down) {
    if (button < 1 || button > m_buttons)
        return false;
    if (busy())
        return enqueue({Pending::Button, button, down, {}});
    XTestFakeButtonEvent(m_display, unsigned(button), down ? True : False, CurrentTime);
    flush();
    return true;
}

bool XTestInjector::key(quint32 evdev, bool down) {
    if (evdev > quint32(m_maxKeycode))
        return false;
    const int kc = int(evdev) + 8;
    if (kc < m_minKeycode || kc > m_maxKeycode)
        return false;
    if (down) {
        // A key the layout leaves empty (or one lent out for typing) is not pressed:
        // the caller types the character instead.
        if (m_keymapStale)
            readKeymap();
        if (std::any_of(m_spares.begin(), m_spares.end(), [kc](const Spare &s) { return s.keycode == kc; }))
            return false;
        bool bound = false;
        for (int i = 0; i < m_symsPerCode && !bound; ++i)
            bound = symAt(kc, i) != NoSymbol;
        if (!bound)
            return false;
    }
    if (busy())
        return enqueue({Pending::Key, kc, down, {}});
    XTestFakeKeyEvent(m_display, unsigned(kc), down ? True : False, CurrentTime);
    flush();
    return true;
}

void XTestInjector::tap(int kc) {
    XTestFakeKeyEvent(m_display, unsigned(kc), True, CurrentTime);
    XTestFakeKeyEvent(m_display, unsigned(kc), False, CurrentTime);
}

bool XTestInjector::typeCharacter(char32_t ch) {
    if (ch < 0x20 || ch == 0x7f || ch > 0x10ffff)
        return false;
    if (busy())
        return enqueue({Pending::Char, int(ch), true, {}});
    const Typed typed = typeNow(ch);
    if (typed == Typed::Done)
        return true;
    if (typed == Typed::Failed)
        return false;
    m_queue.push_front({Pending::Char, int(ch), true, {}});
    ++m_queuedChars;
    wait(typed == Typed::Settle);
    return true;
}

int XTestInjector::layoutKey(unsigned long sym, bool *shifted) const {
    for (int kc = m_minKeycode; kc <= m_maxKeycode; ++kc) {
        if (std::any_of(m_spares.begin(), m_spares.end(), [kc](const Spare &s) { return s.keycode == kc; }))
            continue;
        if (symAt(kc, 0) == sym) {
            *shifted = false;
            return kc;
        }
        if (symAt(kc, 1) == sym && m_shiftCode) {
            *shifted = true;
            return kc;
        }
    }
    return 0;
}

XTestInjector::Spare *XTestInjector::freeSpare() {
    Spare *slot = nullptr;
    for (Spare &s : m_spares) {
        if (!s.typed && (!slot || s.usedAt < slot->usedAt))
            slot = &s;
    }
    return slot;
}

void XTestInjector::bind(Spare &slot, unsigned long sym) {
    KeySym syms[2] = {sym, sym};
    XChangeKeyboardMapping(m_display, slot.keycode, 2, syms, 1);
    slot.keysym = sym;
    // Taken until the next settle, typed on or about to be.
    slot.typed = true;
    slot.usedAt = ++m_uses;
}

void XTestInjector::bindAhead() {
    // A bounded look: the queue may hold a whole text behind input of other kinds.
    constexpr size_t lookAhead = 512;
    for (size_t i = 0; i < m_queue.size() && i < lookAhead; ++i) {
        const Pending &p = m_queue[i];
        if (p.kind != Pending::Char)
            continue;
        const KeySym sym = keysymOf(char32_t(p.value));
        bool shifted = false;
        if (layoutKey(sym, &shifted) ||
            std::any_of(m_spares.begin(), m_spares.end(), [sym](const Spare &s) { return s.keysym == sym; }))
            continue;
        Spare *slot = freeSpare();
        if (!slot)
            return;
        bind(*slot, sym);
    }
}

XTestInjector::Typed XTestInjector::typeNow(char32_t ch) {
    const KeySym sym = keysymOf(ch);
    if (m_keymapStale)
        readKeymap();
    // A key of the layout: on its first level, or its second with Shift.
    bool shifted = false;
    if (const int kc = layoutKey(sym, &shifted)) {
        if (shifted)
            XTestFakeKeyEvent(m_display, unsigned(m_shiftCode), True, CurrentTime);
        tap(kc);
        if (shifted)
            XTestFakeKeyEvent(m_display, unsigned(m_shiftCode), False, CurrentTime);
        flush();
        return Typed::Done;
    }
    if (m_spares.empty())
        return Typed::Failed;
    for (Spare &s : m_spares) {
        if (s.keysym == sym) {
            s.usedAt = ++m_uses;
            s.typed = true;
            tap(s.keycode);
            flush();
            m_restore.start();
            return Typed::Done;
        }
    }
    // Not bound yet: bind it (and what waits behind it), type later. None free: wait
    // until the keys typed on the spares have been read.
    Spare *slot = freeSpare();
    if (!slot)
        return Typed::Settle;
    bind(*slot, sym);
    bindAhead();
    m_restore.start();
    return Typed::Bound;
}

// The round trip, then `settleMs` (spares emptied and free again afterwards) or
// `bindGapMs` (the bindings seen by every client) before the queue goes on.
void XTestInjector::wait(bool settle) {
    if (m_settling || m_gapping)
        return;
    // The round trip: the server has applied every binding and delivered every key so far.
    XSync(m_display, False);
    readEvents();
    if (settle) {
        m_settling = true;
        m_settle.start();
    } else {
        m_gapping = true;
        m_gap.start();
    }
}

// Main thread, `settleMs` after the round trip: the keys typed on spares have been read.
void XTestInjector::settled() {
    m_settling = false;
    // Emptied before they are bound again: clients then take the next bindings as new keys.
    restoreSpares();
    drain();
}

void XTestInjector::drain() {
    while (!m_queue.empty() && !m_settling && !m_gapping) {
        const Pending p = m_queue.front();
        switch (p.kind) {
        case Pending::Motion:
            XTestFakeMotionEvent(m_display, DefaultScreen(m_display), p.at.x(), p.at.y(), CurrentTime);
            break;
        case Pending::Button:
            XTestFakeButtonEvent(m_display, unsigned(p.value), p.down ? True : False, CurrentTime);
            break;
        case Pending::Key:
            XTestFakeKeyEvent(m_display, unsigned(p.value), p.down ? True : False, CurrentTime);
            break;
        case Pending::Char: {
            const Typed typed = typeNow(char32_t(p.value));
            if (typed == Typed::Settle || typed == Typed::Bound) {
                wait(typed == Typed::Settle);
                return;
            }
            break;
        }
        }
        m_queuedChars -= p.kind == Pending::Char;
        m_queue.pop_front();
    }
    flush();
}

void XTestInjector::restoreSpares() {
    bool changed = false;
    for (Spare &s : m_spares) {
        s.typed = false;
        if (!s.keysym)
            continue;
        KeySym none[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(m_display, s.keycode, 2, none, 1);
        s.keysym = 0;
        changed = true;
    }
    if (changed)
        flush();
}
