#include "platform/x11/X11ScreenCapture.h"

#include "capture/CaptureFeed.h"
#include "platform/x11/X11ErrorTrap.h"
#include "platform/x11/X11FrameGrabber.h"

#include <QImage>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

Q_LOGGING_CATEGORY(lcScreen, "velmo.capture.screen")

X11ScreenCapture::X11ScreenCapture(QObject *parent) : ScreenCapture(parent) {
    X11ErrorTrap::install();
    m_settle.setSingleShot(true);
    m_settle.setInterval(100);
    connect(&m_settle, &QTimer::timeout, this, &X11ScreenCapture::refreshMonitors);

    const QByteArray name = qgetenv("DISPLAY");
    m_dpy = XOpenDisplay(nullptr);
    if (!m_dpy) {
        m_problem = QStringLiteral("cannot open the X display \"%1\"").arg(QString::fromLocal8Bit(name));
        return;
    }
    X11ErrorTrap::watchLoss(m_dpy, &m_lost);
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    Bool pixmaps = False;
    if (!XShmQueryVersion(m_dpy, &major, &minor, &pixmaps))
        m_problem = QStringLiteral("the X server has no MIT-SHM extension");
    else if (!XDamageQueryExtension(m_dpy, &event, &error))
        m_problem = QStringLiteral("the X server has no DAMAGE extension");
    else if (!XFixesQueryExtension(m_dpy, &event, &error))
        m_problem = QStringLiteral("the X server has no XFIXES extension");
    if (XRRQueryExtension(m_dpy, &m_randrEvent, &error)) {
        XRRSelectInput(m_dpy, DefaultRootWindow(m_dpy),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    } else {
        m_randrEvent = -1;
        qCInfo(lcScreen) << "no RandR: the whole screen is one monitor";
    }
    refreshMonitors();
    // Monitors defined with RRSetMonitor (xrandr --setmonitor) change without any event:
    // look again now and then (one round trip).
    m_poll.setInterval(2000);
    connect(&m_poll, &QTimer::timeout, this, &X11ScreenCapture::refreshMonitors);
    if (m_randrEvent >= 0)
        m_poll.start();
    m_notifier = new QSocketNotifier(ConnectionNumber(m_dpy), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &X11ScreenCapture::readEvents);
    if (!m_problem.isEmpty())
        qCWarning(lcScreen) << "screen capture unavailable:" << m_problem;
}

X11ScreenCapture::~X11ScreenCapture() {
    delete m_notifier;
    m_notifier = nullptr;
    if (m_dpy && !m_lost) {
        X11ErrorTrap::forget(m_dpy);
        XCloseDisplay(m_dpy);
    }
}

QString X11ScreenCapture::description() const {
    return QStringLiteral("X11 MIT-SHM + XDamage");
}

void X11ScreenCapture::readEvents() {
    if (!m_dpy || m_lost) {
        if (m_notifier)
            m_notifier->setEnabled(false);
        return;
    }
    bool changed = false;
    while (XPending(m_dpy) > 0) {
        XEvent ev;
        XNextEvent(m_dpy, &ev);
        if (m_randrEvent >= 0 && ev.type >= m_randrEvent && ev.type <= m_randrEvent + RRNotify) {
            XRRUpdateConfiguration(&ev);
            changed = true;
        }
    }
    if (m_lost) {
        qCWarning(lcScreen) << "the X display was lost";
        m_notifier->setEnabled(false);
        return;
    }
    // A mode change comes as several events: look once they have settled.
    if (changed)
        m_settle.start();
}

void X11ScreenCapture::refreshMonitors() {
    if (!m_dpy || m_lost)
        return;
    const Window root = DefaultRootWindow(m_dpy);
    XWindowAttributes attrs;
    XGetWindowAttributes(m_dpy, root, &attrs);
    QList<CaptureMonitor> list;
    if (m_randrEvent >= 0) {
        int n = 0;
        XRRMonitorInfo *info = XRRGetMonitors(m_dpy, root, True, &n);
        for (int i = 0; info && i < n; ++i) {
            char *atom = info[i].name ? XGetAtomName(m_dpy, info[i].name) : nullptr;
            const QString name = atom ? QString::fromUtf8(atom) : QStringLiteral("monitor %1").arg(i + 1);
            if (atom)
                XFree(atom);
            // A monitor defined past the edge of the screen shows what the screen has of it.
            const QRect rect = QRect(info[i].x, info[i].y, info[i].width, info[i].height)
                                   .intersected(QRect(0, 0, attrs.width, attrs.height));
            if (rect.isEmpty())
                continue;
            int id = m_ids.value(name);
            if (!id) {
                id = m_nextId++;
                m_ids.insert(name, id);
            }
            list.append({id, name, rect, bool(info[i].primary)});
        }
        if (info)
            XRRFreeMonitors(info);
    }
    if (list.isEmpty()) {
        // No RandR, or no active output: the whole screen.
        const QString name = QStringLiteral("screen");
        int id = m_ids.value(name);
        if (!id) {
            id = m_nextId++;
            m_ids.insert(name, id);
        }
        list.append({id, name, QRect(0, 0, attrs.width, attrs.height), true});
    }
    // A desktop without a primary output: the first monitor is where a viewer starts.
    bool primary = false;
    for (const CaptureMonitor &m : list)
        primary = primary || m.primary;
    if (!primary)
        list.first().primary = true;
    for (auto it = m_feeds.begin(); it != m_feeds.end();) {
        if (it.value().expired()) {
            it = m_feeds.erase(it);
            continue;
        }
        ++it;
    }
    const bool changed = list != m_monitors;
    m_monitors = list;
    // Live feeds follow their monitor; one that went away shows the primary one.
    for (auto it = m_feeds.cbegin(); it != m_feeds.cend(); ++it)
        if (auto f = it.value().lock()) {
            f->setRect(rectOf(it.key()));
            if (it.key() == 0)
                f->setShown(shownAreas());
        }
    if (changed) {
        QStringList text;
        for (const CaptureMonitor &m : std::as_const(m_monitors))
            text << QStringLiteral("%1 %2 %3x%4+%5+%6%7")
                        .arg(m.id)
                        .arg(m.name)
                        .arg(m.rect.width())
                        .arg(m.rect.height())
                        .arg(m.rect.x())
                        .arg(m.rect.y())
                        .arg(m.primary ? QStringLiteral(" primary") : QString());
        qCInfo(lcScreen) << "monitors:" << text.join(QStringLiteral(", "));
        Q_EMIT monitorsChanged();
    }
}

QRect X11ScreenCapture::rectOf(int id) const {
    if (id == 0) {
        QRect all;
        for (const CaptureMonitor &m : m_monitors)
            all = all.united(m.rect);
        return all;
    }
    for (const CaptureMonitor &m : m_monitors)
        if (m.id == id)
            return m.rect;
    for (const CaptureMonitor &m : m_monitors)
        if (m.primary)
            return m.rect;
    return {};
}

QList<QRect> X11ScreenCapture::shownAreas() const {
    QList<QRect> areas;
    for (const CaptureMonitor &m : m_monitors)
        areas.append(m.rect);
    return areas;
}

QImage X11ScreenCapture::snapshot(int id, QSize box) {
    const QRect rect = rectOf(id);
    if (!available() || m_lost || rect.isEmpty())
        return {};
    // Rare (once a minute): a plain XGetImage on the main connection is enough.
    XImage *img = XGetImage(m_dpy, DefaultRootWindow(m_dpy), rect.x(), rect.y(), unsigned(rect.width()),
                            unsigned(rect.height()), AllPlanes, ZPixmap);
    X11ErrorTrap::take(m_dpy);
    if (!img)
        return {};
    QImage out;
    if (img->bits_per_pixel == 32) {
        const QImage view(reinterpret_cast<const uchar *>(img->data), img->width, img->height, img->bytes_per_line,
                          QImage::Format_RGB32);
        out = view.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    XDestroyImage(img);
    return out;
}

std::shared_ptr<CaptureFeed> X11ScreenCapture::feed(int id) {
    if (!available())
        return nullptr;
    if (auto existing = m_feeds.value(id).lock())
        return existing;
    bool known = id == 0;
    for (const CaptureMonitor &m : std::as_const(m_monitors))
        known = known || m.id == id;
    if (!known)
        return nullptr;
    auto feed = std::make_shared<CaptureFeed>(id, std::make_unique<X11FrameGrabber>());
    if (const Result<std::monostate> started = feed->start(rectOf(id)); !started.ok()) {
        qCWarning(lcScreen) << "capture of monitor" << id << "failed:" << started.error.message;
        return nullptr;
    }
    if (id == 0)
        feed->setShown(shownAreas());
    m_feeds.insert(id, feed);
    return feed;
}
