#include "support/XClipboardClient.h"

#include <QSocketNotifier>
#include <QTest>
#include <QUrl>
#include <QVector>

#include <algorithm>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

XClipboardClient::XClipboardClient(const QByteArray &display) {
    m_display = XOpenDisplay(display.isEmpty() ? nullptr : display.constData());
    if (!m_display)
        return;
    m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
    m_clipboard = XInternAtom(m_display, "CLIPBOARD", False);
    m_utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    m_targets = XInternAtom(m_display, "TARGETS", False);
    m_property = XInternAtom(m_display, "TEST_PASTE", False);
    m_png = XInternAtom(m_display, "image/png", False);
    m_incr = XInternAtom(m_display, "INCR", False);
    m_uriList = XInternAtom(m_display, "text/uri-list", False);
    m_gnomeFiles = XInternAtom(m_display, "x-special/gnome-copied-files", False);
    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XClipboardClient::readEvents);
    XFlush(m_display);
}

XClipboardClient::~XClipboardClient() {
    delete m_notifier;
    if (m_display) {
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }
}

void XClipboardClient::copy(const QString &text) {
    m_more.clear();
    m_owned = text.toUtf8();
    m_ownedTarget = m_utf8;
    m_incrChunk = 0;
    XSetSelectionOwner(m_display, m_clipboard, m_window, CurrentTime);
    XFlush(m_display);
    readEvents();
}

void XClipboardClient::copyFiles(const QStringList &paths) {
    QByteArray uris, gnome = "copy";
    for (const QString &p : paths) {
        uris += QUrl::fromLocalFile(p).toEncoded() + "\r\n";
        gnome += "\n" + QUrl::fromLocalFile(p).toEncoded();
    }
    // No round trip to the server after taking the selection: it would read the first
    // request into Xlib's queue, where the socket notifier never sees it.
    m_more = {{m_uriList, uris}, {m_gnomeFiles, gnome}};
    m_owned = paths.join(QLatin1Char('\n')).toUtf8();
    m_ownedTarget = m_utf8;
    m_incrChunk = 0;
    XSetSelectionOwner(m_display, m_clipboard, m_window, CurrentTime);
    XFlush(m_display);
    readEvents();
}

std::optional<QByteArray> XClipboardClient::pasteAs(const char *target, int timeoutMs) {
    const unsigned long atom = XInternAtom(m_display, target, False);
    readEvents(); // what the round trip queued
    return request(atom, timeoutMs);
}

void XClipboardClient::copyImage(const QByteArray &png, int incrChunk) {
    m_more.clear();
    m_owned = png;
    m_incrChunk = incrChunk;
    m_incrSent = -1;
    m_ownedTarget = m_png;
    XSetSelectionOwner(m_display, m_clipboard, m_window, CurrentTime);
    XFlush(m_display);
    readEvents();
}

bool XClipboardClient::owns() const {
    const bool mine = XGetSelectionOwner(m_display, m_clipboard) == m_window;
    // The round trip may have queued a request in Xlib, where the socket notifier never sees it.
    const_cast<XClipboardClient *>(this)->readEvents();
    return mine;
}

std::optional<QString> XClipboardClient::paste(int timeoutMs) {
    const std::optional<QByteArray> bytes = request(m_utf8, timeoutMs);
    if (!bytes)
        return std::nullopt;
    return QString::fromUtf8(*bytes);
}

std::optional<QByteArray> XClipboardClient::pasteImage(int timeoutMs) {
    return request(m_png, timeoutMs);
}

std::optional<QByteArray> XClipboardClient::request(unsigned long target, int timeoutMs) {
    m_pasted.reset();
    readEvents(); // answers to earlier requests that gave up waiting are dropped here...
    m_waiting = true;
    // ...and one that comes later still names its own property: each request has a new one,
    // so a late answer is never read as this one's (nor its property deleted by this one).
    m_property =
        XInternAtom(m_display, QByteArray("TEST_PASTE_" + QByteArray::number(++m_requests)).constData(), False);
    m_requestTarget = target;
    XConvertSelection(m_display, m_clipboard, target, m_property, m_window, CurrentTime);
    XFlush(m_display);
    (void)QTest::qWaitFor(
        [this] {
            readEvents();
            return !m_waiting;
        },
        timeoutMs);
    m_waiting = false;
    return m_pasted;
}

void XClipboardClient::readEvents() {
    while (XPending(m_display) > 0) {
        XEvent ev;
        XNextEvent(m_display, &ev);
        if (ev.type == SelectionRequest) {
            const XSelectionRequestEvent &req = ev.xselectionrequest;
            XEvent reply{};
            reply.xselection.type = SelectionNotify;
            reply.xselection.requestor = req.requestor;
            reply.xselection.selection = req.selection;
            reply.xselection.target = req.target;
            reply.xselection.time = req.time;
            reply.xselection.property = None;
            if (req.target == m_targets) {
                QVector<Atom> targets{Atom(m_targets), Atom(m_ownedTarget)};
                for (const auto &[atom, bytes] : m_more)
                    targets.append(Atom(atom));
                XChangeProperty(m_display, req.requestor, req.property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(targets.constData()), int(targets.size()));
                reply.xselection.property = req.property;
            } else if (m_more.count(req.target)) {
                const QByteArray &bytes = m_more.at(req.target);
                XChangeProperty(m_display, req.requestor, req.property, req.target, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size()));
                reply.xselection.property = req.property;
                ++m_served;
            } else if (req.target == m_ownedTarget && m_incrChunk > 0 && m_owned.size() > m_incrChunk) {
                // The size goes first; each deletion of the property asks for the next piece.
                const long size = long(m_owned.size());
                XSelectInput(m_display, req.requestor, PropertyChangeMask);
                XChangeProperty(m_display, req.requestor, req.property, m_incr, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(&size), 1);
                m_incrWindow = req.requestor;
                m_incrProperty = req.property;
                m_incrSent = 0;
                reply.xselection.property = req.property;
                ++m_served;
            } else if (req.target == m_ownedTarget) {
                XChangeProperty(m_display, req.requestor, req.property, m_ownedTarget, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(m_owned.constData()), int(m_owned.size()));
                reply.xselection.property = req.property;
                ++m_served;
            }
            XSendEvent(m_display, req.requestor, False, NoEventMask, &reply);
            XFlush(m_display);
        } else if (ev.type == PropertyNotify && m_incrSent >= 0 && ev.xproperty.window == m_incrWindow &&
                   ev.xproperty.atom == m_incrProperty && ev.xproperty.state == PropertyDelete) {
            // The last piece is the empty one.
            const qsizetype n = std::min<qsizetype>(m_incrChunk, m_owned.size() - m_incrSent);
            XChangeProperty(m_display, m_incrWindow, m_incrProperty, m_ownedTarget, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(m_owned.constData() + m_incrSent), int(n));
            m_incrSent = n == 0 ? -1 : m_incrSent + n;
            XFlush(m_display);
        } else if (ev.type == SelectionNotify && m_waiting) {
            if (ev.xselection.property != None ? ev.xselection.property != m_property
                                               : ev.xselection.target != m_requestTarget)
                continue; // a late answer to an earlier request
            m_waiting = false;
            if (ev.xselection.property == None)
                continue;
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char *data = nullptr;
            XGetWindowProperty(m_display, m_window, m_property, 0, 1 << 22, True, AnyPropertyType, &type, &format,
                               &items, &after, &data);
            if (data && format == 8)
                m_pasted = QByteArray(reinterpret_cast<const char *>(data), qsizetype(items));
            if (data)
                XFree(data);
        }
    }
}
