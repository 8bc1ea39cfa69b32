#include "platform/x11/X11Clipboard.h"

#include "platform/x11/X11ErrorTrap.h"

#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

// Xlib's macros (None, Bool, Status, …) clash with Qt's names: included last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

Q_LOGGING_CATEGORY(lcClipboard, "velmo.clipboard")

namespace {
constexpr int kReadTimeoutMs = 3000;

// The longest property this connection can write in one request.
qsizetype maxPropertyBytes(Display *display) {
    long units = XExtendedMaxRequestSize(display);
    if (units <= 0)
        units = XMaxRequestSize(display);
    return qsizetype(units) * 4 - 1024;
}
} // namespace

std::unique_ptr<X11Clipboard> X11Clipboard::open(QString *problem) {
    const QByteArray name = qgetenv("DISPLAY");
    if (name.isEmpty()) {
        *problem = QStringLiteral("DISPLAY is not set: no X11 clipboard");
        return nullptr;
    }
    // Protocol errors (a requestor window that vanished before its answer) are logged;
    // Xlib's default handler would end the agent.
    X11ErrorTrap::install();
    Display *display = XOpenDisplay(name.constData());
    if (!display) {
        *problem = QStringLiteral("cannot open the X display %1").arg(QString::fromLocal8Bit(name));
        return nullptr;
    }
    int event = 0, error = 0;
    if (!XFixesQueryExtension(display, &event, &error)) {
        XCloseDisplay(display);
        *problem = QStringLiteral("the X display %1 has no XFIXES extension").arg(QString::fromLocal8Bit(name));
        return nullptr;
    }
    return std::unique_ptr<X11Clipboard>(new X11Clipboard(display, event));
}

X11Clipboard::X11Clipboard(_XDisplay *display, int xfixesEvent) : m_display(display), m_xfixesEvent(xfixesEvent) {
    m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(m_display, m_window, PropertyChangeMask);
    m_clipboard = XInternAtom(m_display, "CLIPBOARD", False);
    m_utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    m_targets = XInternAtom(m_display, "TARGETS", False);
    m_text = XInternAtom(m_display, "TEXT", False);
    m_incr = XInternAtom(m_display, "INCR", False);
    m_png = XInternAtom(m_display, "image/png", False);
    m_uriList = XInternAtom(m_display, "text/uri-list", False);
    m_gnomeFiles = XInternAtom(m_display, "x-special/gnome-copied-files", False);
    m_property = XInternAtom(m_display, "VELMO_CLIPBOARD", False);
    XFixesSelectSelectionInput(m_display, m_window, m_clipboard, XFixesSetSelectionOwnerNotifyMask);
    X11ErrorTrap::watchLoss(m_display, &m_lost);

    m_readTimeout.setSingleShot(true);
    m_readTimeout.setInterval(kReadTimeoutMs);
    connect(&m_readTimeout, &QTimer::timeout, this, [this] {
        qCInfo(lcClipboard) << "the clipboard owner did not answer in time";
        finishRead(false);
    });
    m_filesWait.setSingleShot(true);
    m_filesWait.setInterval(filesWaitMs);
    connect(&m_filesWait, &QTimer::timeout, this, [this] {
        qCInfo(lcClipboard) << "the viewer's files did not arrive in time: the paste is refused";
        answerWaiting();
    });
    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &X11Clipboard::readEvents);
    XFlush(m_display);
    qCInfo(lcClipboard) << "CLIPBOARD of" << DisplayString(m_display) << "shared with viewers";
}

X11Clipboard::~X11Clipboard() {
    delete m_notifier;
    if (!m_lost) {
        XDestroyWindow(m_display, m_window);
        X11ErrorTrap::forget(m_display);
        XCloseDisplay(m_display);
    }
}

// Main thread, when the connection's socket has data (and after each of our requests,
// which may have queued events while waiting for a reply).
void X11Clipboard::readEvents() {
    while (!m_lost && XPending(m_display) > 0) {
        XEvent ev;
        XNextEvent(m_display, &ev);
        handle(&ev);
    }
    if (m_lost && m_notifier) {
        qCWarning(lcClipboard) << "the X display went away: clipboard sharing stops";
        m_notifier->setEnabled(false);
    }
}

void X11Clipboard::handle(void *event) {
    auto *ev = static_cast<XEvent *>(event);
    if (ev->type == m_xfixesEvent + XFixesSelectionNotify) {
        auto *sel = reinterpret_cast<XFixesSelectionNotifyEvent *>(ev);
        if (sel->selection != m_clipboard)
            return;
        if (sel->owner != m_window)
            m_owner = false; // someone else took it (or it was dropped)
        if (sel->owner == None || sel->owner == m_window)
            return; // our own text, or none
        if (m_reading) {
            m_readAgain = true;
            m_againTime = sel->selection_timestamp;
            return;
        }
        requestText(sel->selection_timestamp, m_targets);
    } else if (ev->type == SelectionNotify) {
        onSelectionNotify(ev);
    } else if (ev->type == PropertyNotify) {
        onPropertyNotify(ev);
    } else if (ev->type == SelectionRequest) {
        serve(ev);
    } else if (ev->type == SelectionClear) {
        if (ev->xselectionclear.selection == m_clipboard) {
            m_owner = false;
            m_owned.clear();
            m_ownedImage = false;
            m_ownsFiles = false;
            m_ownedFiles = nullptr;
            answerWaiting(); // refused: the files are no longer on the clipboard
        }
    }
}

void X11Clipboard::requestText(unsigned long time, unsigned long target) {
    m_reading = true;
    m_incrReading = false;
    m_incoming.clear();
    m_readTarget = target;
    m_readTime = time;
    XDeleteProperty(m_display, m_window, m_property);
    XConvertSelection(m_display, m_clipboard, target, m_property, m_window, time);
    XFlush(m_display);
    m_readTimeout.start();
}

void X11Clipboard::onSelectionNotify(void *event) {
    const XSelectionEvent &sel = static_cast<XEvent *>(event)->xselection;
    if (!m_reading || m_incrReading || sel.requestor != m_window || sel.selection != m_clipboard)
        return;
    if (sel.property == None) {
        // An owner that lists no targets is asked for text as before.
        if (m_readTarget == m_targets)
            requestText(m_readTime, m_utf8);
        // No UTF-8 from this owner: Latin-1 STRING is the other text every owner knows.
        else if (m_readTarget == m_utf8)
            requestText(m_readTime, XA_STRING);
        else
            finishRead(false);
        return;
    }
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (m_readTarget == m_targets) {
        chooseTarget();
        return;
    }
    const long maxUnits = long(readLimit() / 4 + 2);
    if (XGetWindowProperty(m_display, m_window, m_property, 0, maxUnits, True, AnyPropertyType, &type, &format, &items,
                           &after, &data) != Success) {
        finishRead(false);
        return;
    }
    if (type == m_incr) {
        // Deleting the property (done by the read) asks the owner for the first piece.
        if (data)
            XFree(data);
        m_incrReading = true;
        XFlush(m_display);
        m_readTimeout.start();
        return;
    }
    if (data && format == 8)
        m_incoming = QByteArray(reinterpret_cast<const char *>(data), qsizetype(items));
    if (data)
        XFree(data);
    if (after > 0 || format != 8) {
        qCInfo(lcClipboard) << "clipboard" << (m_readTarget == m_png ? "picture" : "text or file list")
                            << "not passed on:" << (after > 0 ? "larger than the limit" : "not 8-bit data");
        finishRead(false);
        return;
    }
    finishRead(true);
}

void X11Clipboard::onPropertyNotify(void *event) {
    const XPropertyEvent &prop = static_cast<XEvent *>(event)->xproperty;
    if (!m_incrReading || prop.window != m_window || prop.atom != m_property || prop.state != PropertyNewValue)
        return;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(m_display, m_window, m_property, 0, long(readLimit() / 4 + 2), True, AnyPropertyType, &type,
                           &format, &items, &after, &data) != Success) {
        finishRead(false);
        return;
    }
    const qsizetype n = format == 8 ? qsizetype(items) : 0;
    if (data && n > 0)
        m_incoming.append(reinterpret_cast<const char *>(data), n);
    if (data)
        XFree(data);
    XFlush(m_display);
    if (m_incoming.size() > (m_readTarget == m_png ? ClipImage::maxBytes : ClipText::maxBytes * 4)) {
        // Over the bound (far over it for Latin-1 text): stop listening; the owner gives up by itself.
        qCInfo(lcClipboard) << "clipboard" << (m_readTarget == m_png ? "picture" : "text")
                            << "not passed on: larger than the limit";
        finishRead(false);
        return;
    }
    if (n == 0)
        finishRead(true); // the empty piece ends the transfer
    else
        m_readTimeout.start();
}

void X11Clipboard::finishRead(bool ok) {
    const QByteArray bytes = std::exchange(m_incoming, {});
    const bool latin1 = m_readTarget == XA_STRING;
    m_reading = false;
    m_incrReading = false;
    m_readTimeout.stop();
    if (m_readTarget == m_uriList || m_readTarget == m_gnomeFiles) {
        const QStringList paths = ok ? ClipFiles::localPaths(bytes) : QStringList();
        if (!paths.isEmpty()) {
            Q_EMIT copiedFiles(paths);
        } else if (m_offersText && !m_readAgain) {
            // URLs of elsewhere (a browser's link): the owner's text is what viewers get.
            requestText(m_readTime, m_utf8);
            return;
        }
    } else if (ok && m_readTarget == m_png) {
        if (!ClipImage::fits(bytes))
            qCInfo(lcClipboard) << "clipboard picture not passed on:"
                                << (ClipImage::isPng(bytes) ? "larger than 8 MiB" : "not a PNG");
        else
            Q_EMIT copiedImage(bytes);
    } else if (ok) {
        const QString text = latin1 ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
        if (!ClipText::fits(text))
            qCInfo(lcClipboard) << "clipboard text not passed on: larger than 1 MiB";
        else if (!text.isEmpty())
            Q_EMIT copied(text);
    }
    if (m_readAgain) {
        m_readAgain = false;
        requestText(m_againTime, m_targets);
    }
}

qsizetype X11Clipboard::readLimit() const {
    return m_readTarget == m_png ? ClipImage::maxBytes : ClipText::maxBytes;
}

// The owner's TARGETS are in the property: text is taken when offered (a spreadsheet's
// cells come with a picture of them too), a PNG otherwise.
void X11Clipboard::chooseTarget() {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    bool text = false, png = false, any = false, uris = false, gnome = false;
    if (XGetWindowProperty(m_display, m_window, m_property, 0, 1024, True, AnyPropertyType, &type, &format, &items,
                           &after, &data) == Success &&
        data && format == 32) {
        any = true;
        // Format-32 properties come as longs from Xlib.
        const auto *atoms = reinterpret_cast<const unsigned long *>(data);
        for (unsigned long i = 0; i < items; ++i) {
            text = text || atoms[i] == m_utf8 || atoms[i] == XA_STRING || atoms[i] == m_text;
            png = png || atoms[i] == m_png;
            uris = uris || atoms[i] == m_uriList;
            gnome = gnome || atoms[i] == m_gnomeFiles;
        }
    }
    if (data)
        XFree(data);
    m_offersText = text;
    // Files first: a file manager offers their paths as text as well.
    if (uris)
        requestText(m_readTime, m_uriList);
    else if (gnome)
        requestText(m_readTime, m_gnomeFiles);
    else if (text || !any)
        requestText(m_readTime, m_utf8);
    else if (png)
        requestText(m_readTime, m_png);
    else
        finishRead(false); // nothing viewers could take
}

void X11Clipboard::take() {
    XSetSelectionOwner(m_display, m_clipboard, m_window, CurrentTime);
    m_owner = XGetSelectionOwner(m_display, m_clipboard) == m_window;
    if (!m_owner)
        qCWarning(lcClipboard) << "could not take the clipboard";
    readEvents();
}

void X11Clipboard::setText(const QString &text) {
    if (m_lost)
        return;
    m_owned = text.toUtf8();
    m_ownedImage = false;
    m_ownsFiles = false;
    m_ownedFiles = nullptr;
    answerWaiting();
    take();
}

void X11Clipboard::setImage(const QByteArray &png) {
    if (m_lost || !ClipImage::fits(png))
        return;
    m_owned = png;
    m_ownedImage = true;
    m_ownsFiles = false;
    m_ownedFiles = nullptr;
    answerWaiting();
    take();
}

void X11Clipboard::setFiles(ClipFilesOffer *offer) {
    if (m_lost || !offer)
        return;
    m_owned.clear();
    m_ownedImage = false;
    if (m_ownedFiles)
        disconnect(m_ownedFiles, nullptr, this, nullptr);
    answerWaiting();
    m_ownedFiles = offer;
    m_ownsFiles = true;
    connect(offer, &ClipFilesOffer::finished, this, [this, offer] {
        if (offer == m_ownedFiles)
            answerWaiting();
    });
    // The viewer that copied them left or lost `files`: nothing can be fetched any more,
    // so the clipboard stops offering them.
    connect(offer, &QObject::destroyed, this, [this, offer] {
        if (offer != m_ownedFiles.data() && m_ownedFiles)
            return;
        m_ownedFiles = nullptr;
        answerWaiting();
        if (m_ownsFiles && m_owner && !m_lost) {
            m_ownsFiles = false;
            XSetSelectionOwner(m_display, m_clipboard, None, CurrentTime);
            m_owner = false;
            XFlush(m_display);
        }
    });
    take();
}

// Answers a request for the files: their URLs when they are here, else a refusal.
void X11Clipboard::answer(const Request &request, bool withFiles) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = m_display;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = None;
    if (withFiles && m_ownedFiles && m_ownedFiles->state() == ClipFilesOffer::State::Ready) {
        const QStringList paths = m_ownedFiles->paths();
        const QByteArray bytes =
            request.target == m_uriList ? ClipFiles::uriList(paths) : ClipFiles::gnomeCopiedFiles(paths);
        XChangeProperty(m_display, request.requestor, request.property, request.target, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size()));
        reply.xselection.property = request.property;
    }
    XSendEvent(m_display, request.requestor, False, NoEventMask, &reply);
    XFlush(m_display);
}

// The fetch ended (or can no longer end): every request held back gets its answer.
void X11Clipboard::answerWaiting() {
    m_filesWait.stop();
    const QList<Request> waiting = std::exchange(m_waiting, {});
    if (m_lost)
        return;
    for (const Request &r : waiting)
        answer(r, true);
}

// Another client asks for our text or picture.
void X11Clipboard::serve(void *event) {
    const XSelectionRequestEvent &req = static_cast<XEvent *>(event)->xselectionrequest;
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = req.display;
    reply.xselection.requestor = req.requestor;
    reply.xselection.selection = req.selection;
    reply.xselection.target = req.target;
    reply.xselection.time = req.time;
    reply.xselection.property = None;
    // Obsolete clients name no property: the target's name is used then.
    const Atom property = req.property != None ? req.property : req.target;
    if (m_owner && req.selection == m_clipboard && m_ownsFiles) {
        const Request request{req.requestor, req.selection, req.target, property, req.time};
        if (req.target == m_targets) {
            const Atom targets[] = {Atom(m_targets), Atom(m_uriList), Atom(m_gnomeFiles)};
            XChangeProperty(m_display, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(targets), 3);
            reply.xselection.property = property;
        } else if ((req.target == m_uriList || req.target == m_gnomeFiles) && m_ownedFiles) {
            if (m_ownedFiles->state() != ClipFilesOffer::State::Ready) {
                if (m_waiting.size() >= maxWaitingRequests) {
                    qCInfo(lcClipboard) << "too many pastes wait for the viewer's files: one refused";
                } else {
                    // Answered when the files are here (finished()), or refused.
                    m_waiting.append(request);
                    if (!m_filesWait.isActive())
                        m_filesWait.start();
                    m_ownedFiles->fetch();
                    return;
                }
            } else {
                answer(request, true);
                return;
            }
        }
    } else if (m_owner && req.selection == m_clipboard && m_ownedImage) {
        if (req.target == m_targets) {
            const Atom targets[] = {Atom(m_targets), Atom(m_png)};
            XChangeProperty(m_display, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(targets), 2);
            reply.xselection.property = property;
        } else if (req.target == m_png && m_owned.size() <= maxPropertyBytes(m_display)) {
            // At most 8 MiB: within one request wherever BIG-REQUESTS is there (every
            // current server); without it the picture is refused rather than half sent.
            XChangeProperty(m_display, req.requestor, property, Atom(m_png), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(m_owned.constData()), int(m_owned.size()));
            reply.xselection.property = property;
        }
    } else if (m_owner && req.selection == m_clipboard) {
        if (req.target == m_targets) {
            const Atom targets[] = {Atom(m_targets), Atom(m_utf8), Atom(m_text), XA_STRING};
            XChangeProperty(m_display, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(targets), 4);
            reply.xselection.property = property;
        } else if (req.target == m_utf8 || req.target == m_text || req.target == XA_STRING) {
            const bool latin1 = req.target == XA_STRING;
            const QByteArray bytes = latin1 ? QString::fromUtf8(m_owned).toLatin1() : m_owned;
            if (bytes.size() <= maxPropertyBytes(m_display)) {
                XChangeProperty(m_display, req.requestor, property, latin1 ? XA_STRING : Atom(m_utf8), 8,
                                PropModeReplace, reinterpret_cast<const unsigned char *>(bytes.constData()),
                                int(bytes.size()));
                reply.xselection.property = property;
            } else {
                qCInfo(lcClipboard) << "clipboard text too large for one X request: not served";
            }
        }
    }
    XSendEvent(m_display, req.requestor, False, NoEventMask, &reply);
    XFlush(m_display);
}
