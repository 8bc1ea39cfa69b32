#include "capture/X11FrameGrabber.h"

#include "capture/X11ScreenCapture.h"

#include <QLoggingCategory>

#include <atomic>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

Q_LOGGING_CATEGORY(lcGrab, "velmo.capture.x11")

struct X11FrameGrabber::Impl {
    Display *dpy = nullptr;
    Window root = 0;
    XImage *image = nullptr;
    XShmSegmentInfo shm{};
    bool attached = false;
    Damage damage = 0;
    XserverRegion region = 0;
    int damageEvent = 0;
    int fixesEvent = 0;
    int xiOpcode = -1; // XInput 2 raw motion wakes the feed when the pointer moves; -1: not there
    bool cursorPending = true;
    std::atomic<bool> lost{false};
};

X11FrameGrabber::~X11FrameGrabber() {
    if (!d)
        return;
    if (d->dpy && !d->lost) {
        freeImage();
        if (d->region)
            XFixesDestroyRegion(d->dpy, d->region);
        if (d->damage)
            XDamageDestroy(d->dpy, d->damage);
        XCloseDisplay(d->dpy);
    }
    delete d;
}

bool X11FrameGrabber::open(const QRect &rect, QString *error) {
    X11ScreenCapture::installErrorHandlers();
    d = new Impl;
    d->dpy = XOpenDisplay(nullptr);
    if (!d->dpy) {
        *error = QStringLiteral("cannot open display %1").arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    X11ScreenCapture::watchLoss(d->dpy, &d->lost);
    d->root = DefaultRootWindow(d->dpy);
    int err = 0;
    if (!XShmQueryExtension(d->dpy)) {
        *error = QStringLiteral("the X server has no MIT-SHM");
        return false;
    }
    if (!XDamageQueryExtension(d->dpy, &d->damageEvent, &err)) {
        *error = QStringLiteral("the X server has no DAMAGE");
        return false;
    }
    if (!XFixesQueryExtension(d->dpy, &d->fixesEvent, &err)) {
        *error = QStringLiteral("the X server has no XFIXES");
        return false;
    }
    // Damage is reported once when it becomes non-empty and collected with each grab.
    d->damage = XDamageCreate(d->dpy, d->root, XDamageReportNonEmpty);
    d->region = XFixesCreateRegion(d->dpy, nullptr, 0);
    XFixesSelectCursorInput(d->dpy, d->root, XFixesDisplayCursorNotifyMask);
    // Raw motion of every pointer, wherever it is: the feed sleeps until something moves
    // instead of asking the server where the pointer is ten times a second.
    int xiEvent = 0;
    int xiMajor = 2;
    int xiMinor = 0;
    if (XQueryExtension(d->dpy, "XInputExtension", &d->xiOpcode, &xiEvent, &err) &&
        XIQueryVersion(d->dpy, &xiMajor, &xiMinor) == Success) {
        unsigned char bits[XIMaskLen(XI_RawMotion)] = {};
        XISetMask(bits, XI_RawMotion);
        XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
        XISelectEvents(d->dpy, d->root, &mask, 1);
    } else {
        d->xiOpcode = -1;
        qCInfo(lcGrab) << "no XInput 2: the pointer is looked at on a timer";
    }
    if (!makeImage(rect)) {
        *error = QStringLiteral("MIT-SHM capture of %1x%2 failed").arg(rect.width()).arg(rect.height());
        return false;
    }
    return true;
}

void X11FrameGrabber::freeImage() {
    if (!d->image)
        return;
    if (d->attached)
        XShmDetach(d->dpy, &d->shm);
    XSync(d->dpy, False);
    XDestroyImage(d->image); // frees nothing of the segment: data belongs to shm
    if (d->shm.shmaddr && d->shm.shmaddr != reinterpret_cast<char *>(-1))
        shmdt(d->shm.shmaddr);
    d->image = nullptr;
    d->attached = false;
    d->shm = {};
}

bool X11FrameGrabber::makeImage(const QRect &rect) {
    freeImage();
    m_rect = rect;
    const int screen = DefaultScreen(d->dpy);
    d->image = XShmCreateImage(d->dpy, DefaultVisual(d->dpy, screen), unsigned(DefaultDepth(d->dpy, screen)), ZPixmap,
                               nullptr, &d->shm, unsigned(rect.width()), unsigned(rect.height()));
    if (!d->image)
        return false;
    if (d->image->bits_per_pixel != 32) {
        qCWarning(lcGrab) << "unsupported pixel size" << d->image->bits_per_pixel;
        freeImage();
        return false;
    }
    d->shm.shmid = shmget(IPC_PRIVATE, size_t(d->image->bytes_per_line) * size_t(d->image->height), IPC_CREAT | 0600);
    if (d->shm.shmid < 0) {
        freeImage();
        return false;
    }
    d->shm.shmaddr = d->image->data = static_cast<char *>(shmat(d->shm.shmid, nullptr, 0));
    d->shm.readOnly = False;
    const bool ok = d->shm.shmaddr != reinterpret_cast<char *>(-1) && XShmAttach(d->dpy, &d->shm);
    XSync(d->dpy, False);
    // Marked for removal now: the segment goes when both sides detach, even after a crash.
    shmctl(d->shm.shmid, IPC_RMID, nullptr);
    d->attached = ok && X11ScreenCapture::takeError(d->dpy) == 0;
    if (!d->attached) {
        freeImage();
        return false;
    }
    return true;
}

bool X11FrameGrabber::setRect(const QRect &rect) {
    return d && d->dpy && makeImage(rect);
}

void X11FrameGrabber::fetchCursor() {
    XFixesCursorImage *img = XFixesGetCursorImage(d->dpy);
    if (!img) {
        m_cursor = QImage();
        return;
    }
    QImage out(img->width, img->height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < img->height; ++y) {
        auto *line = reinterpret_cast<quint32 *>(out.scanLine(y));
        // XFixes hands 32-bit ARGB values in longs.
        for (int x = 0; x < img->width; ++x)
            line[x] = quint32(img->pixels[y * img->width + x] & 0xffffffffUL);
    }
    m_cursor = out;
    m_hotspot = QPoint(img->xhot, img->yhot);
    XFree(img);
}

FrameGrabber::Poll X11FrameGrabber::poll() {
    Poll p;
    if (d->lost) {
        p.lost = true;
        return p;
    }
    while (XPending(d->dpy) > 0) {
        XEvent ev;
        XNextEvent(d->dpy, &ev);
        if (ev.type == d->damageEvent + XDamageNotify)
            p.damaged = true;
        else if (ev.type == d->fixesEvent + XFixesCursorNotify)
            d->cursorPending = true;
        // Raw motion only wakes the feed: the pointer is asked for below.
    }
    if (p.damaged) {
        // Collect the damage; only what touches this rectangle counts.
        XDamageSubtract(d->dpy, d->damage, None, d->region);
        int n = 0;
        XRectangle *rects = XFixesFetchRegion(d->dpy, d->region, &n);
        p.damaged = false;
        for (int i = 0; i < n && !p.damaged; ++i)
            p.damaged = QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height).intersects(m_rect);
        if (rects)
            XFree(rects);
    }
    if (d->cursorPending) {
        d->cursorPending = false;
        fetchCursor();
        p.cursorChanged = true;
    }
    Window rootRet = 0;
    Window child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (XQueryPointer(d->dpy, d->root, &rootRet, &child, &rx, &ry, &wx, &wy, &mask))
        p.pointer = QPoint(rx, ry);
    else
        p.pointer = QPoint(-1, -1);
    p.lost = d->lost;
    return p;
}

void X11FrameGrabber::wait(int wakeFd, int timeoutMs) {
    // Events Xlib has already read (while waiting for a reply) are not on the socket any more.
    if (d->lost || XEventsQueued(d->dpy, QueuedAfterFlush) > 0)
        return;
    pollfd fds[2] = {{ConnectionNumber(d->dpy), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
}

bool X11FrameGrabber::reportsMotion() const {
    return d && d->xiOpcode >= 0;
}

bool X11FrameGrabber::grab() {
    if (!d->image)
        return false;
    const bool ok = XShmGetImage(d->dpy, d->root, d->image, m_rect.x(), m_rect.y(), AllPlanes);
    return ok && X11ScreenCapture::takeError(d->dpy) == 0;
}

const uchar *X11FrameGrabber::pixels(int *stride) const {
    if (!d || !d->image)
        return nullptr;
    *stride = d->image->bytes_per_line;
    return reinterpret_cast<const uchar *>(d->image->data);
}

const QImage &X11FrameGrabber::cursor(QPoint *hotspot) const {
    *hotspot = m_hotspot;
    return m_cursor;
}
