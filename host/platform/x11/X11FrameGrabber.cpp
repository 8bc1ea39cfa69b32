#include "platform/x11/X11FrameGrabber.h"

#include "platform/x11/X11ErrorTrap.h"

#include <QLoggingCategory>

#include <atomic>
#include <vector>

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

namespace {
// Pictures in use at once: the feed's newest, and per encoder the ones queued and being
// converted. Beyond this a grab waits for one to come back.
constexpr size_t kMaxSegments = 6;
} // namespace

// One MIT-SHM picture. Its memory stays mapped while the grabber or a buffer made from
// it holds it (whichever lets go last unmaps it, on its own thread).
struct X11FrameGrabber::Segment {
    XShmSegmentInfo shm{};
    XImage *image = nullptr;       // capture thread; null once detached from the server
    std::atomic<bool> lent{false}; // a buffer made from it is alive
    ~Segment() {
        if (shm.shmaddr && shm.shmaddr != reinterpret_cast<char *>(-1))
            shmdt(shm.shmaddr);
    }
};

struct X11FrameGrabber::Impl {
    Display *dpy = nullptr;
    Window root = 0;
    std::vector<std::shared_ptr<X11FrameGrabber::Segment>> segments; // of the current size
    std::shared_ptr<X11FrameGrabber::Segment> last;                  // the last grab, until taken
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
        dropSegments();
        if (d->region)
            XFixesDestroyRegion(d->dpy, d->region);
        if (d->damage)
            XDamageDestroy(d->dpy, d->damage);
        X11ErrorTrap::forget(d->dpy);
        XCloseDisplay(d->dpy);
    }
    delete d;
}

bool X11FrameGrabber::open(const QRect &rect, QString *error) {
    X11ErrorTrap::install();
    d = new Impl;
    d->dpy = XOpenDisplay(nullptr);
    if (!d->dpy) {
        *error = QStringLiteral("cannot open display %1").arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    X11ErrorTrap::watchLoss(d->dpy, &d->lost);
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
    if (!setRect(rect)) {
        *error = QStringLiteral("MIT-SHM capture of %1x%2 failed").arg(rect.width()).arg(rect.height());
        return false;
    }
    return true;
}

void X11FrameGrabber::dropSegments() {
    d->last.reset();
    for (const auto &seg : d->segments) {
        XShmDetach(d->dpy, &seg->shm);
        XSync(d->dpy, False);
        XDestroyImage(seg->image); // the structure only: the memory is the segment's
        seg->image = nullptr;
    }
    d->segments.clear();
}

std::shared_ptr<X11FrameGrabber::Segment> X11FrameGrabber::makeSegment() {
    const int screen = DefaultScreen(d->dpy);
    auto seg = std::make_shared<Segment>();
    seg->image = XShmCreateImage(d->dpy, DefaultVisual(d->dpy, screen), unsigned(DefaultDepth(d->dpy, screen)), ZPixmap,
                                 nullptr, &seg->shm, unsigned(m_rect.width()), unsigned(m_rect.height()));
    if (!seg->image)
        return nullptr;
    const auto dropImage = [&] {
        XDestroyImage(seg->image);
        seg->image = nullptr;
    };
    if (seg->image->bits_per_pixel != 32 || seg->image->bytes_per_line != m_rect.width() * 4) {
        qCWarning(lcGrab) << "unsupported pixel layout" << seg->image->bits_per_pixel << seg->image->bytes_per_line;
        dropImage();
        return nullptr;
    }
    seg->shm.shmid =
        shmget(IPC_PRIVATE, size_t(seg->image->bytes_per_line) * size_t(seg->image->height), IPC_CREAT | 0600);
    if (seg->shm.shmid < 0) {
        dropImage();
        return nullptr;
    }
    seg->shm.shmaddr = seg->image->data = static_cast<char *>(shmat(seg->shm.shmid, nullptr, 0));
    seg->shm.readOnly = False;
    // An earlier request's error is not this one's.
    XSync(d->dpy, False);
    X11ErrorTrap::take(d->dpy);
    const bool ok = seg->shm.shmaddr != reinterpret_cast<char *>(-1) && XShmAttach(d->dpy, &seg->shm);
    XSync(d->dpy, False);
    // Marked for removal now: the segment goes when both sides detach, even after a crash.
    shmctl(seg->shm.shmid, IPC_RMID, nullptr);
    if (!ok || X11ErrorTrap::take(d->dpy) != 0) {
        if (ok)
            XShmDetach(d->dpy, &seg->shm);
        dropImage();
        return nullptr;
    }
    return seg;
}

bool X11FrameGrabber::setRect(const QRect &rect) {
    if (!d || !d->dpy)
        return false;
    dropSegments();
    m_rect = rect;
    // One now, to know that capture works at this size; more when pictures are kept.
    auto seg = makeSegment();
    if (!seg)
        return false;
    d->segments.push_back(std::move(seg));
    return true;
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

FrameGrabber::Grab X11FrameGrabber::grab() {
    std::shared_ptr<Segment> seg;
    for (const auto &s : d->segments) {
        if (!s->lent.load(std::memory_order_acquire)) {
            seg = s;
            break;
        }
    }
    if (!seg && d->segments.size() < kMaxSegments) {
        seg = makeSegment();
        if (seg)
            d->segments.push_back(seg);
    }
    if (!seg)
        return d->segments.empty() ? Grab::Failed : Grab::Busy;
    d->last.reset();
    const bool ok = XShmGetImage(d->dpy, d->root, seg->image, m_rect.x(), m_rect.y(), AllPlanes);
    // Taken in any case: left behind (a grab of the old size during a mode change), the
    // error would be blamed on the next segment made for the new size.
    const int error = X11ErrorTrap::take(d->dpy);
    if (!ok || error != 0)
        return Grab::Failed;
    d->last = seg;
    return Grab::Ok;
}

GstBuffer *X11FrameGrabber::picture() {
    if (!d || !d->last)
        return nullptr;
    std::shared_ptr<Segment> seg = std::exchange(d->last, nullptr);
    seg->lent.store(true, std::memory_order_relaxed);
    const gsize size = gsize(seg->image->bytes_per_line) * gsize(seg->image->height);
    auto *hold = new std::shared_ptr<Segment>(seg);
    // Called on whichever thread drops the last reference to the memory.
    const auto giveBack = [](gpointer data) {
        auto *h = static_cast<std::shared_ptr<Segment> *>(data);
        (*h)->lent.store(false, std::memory_order_release);
        delete h;
    };
    return gst_buffer_new_wrapped_full(GstMemoryFlags(0), seg->image->data, size, 0, size, hold, giveBack);
}

const QImage &X11FrameGrabber::cursor(QPoint *hotspot) const {
    *hotspot = m_hotspot;
    return m_cursor;
}
