#include "capture/CaptureFeed.h"

#include "capture/FrameConsumer.h"

#include <QHash>
#include <QLoggingCategory>
#include <QRegion>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

Q_LOGGING_CATEGORY(lcFeed, "velmo.capture.feed")

namespace {
constexpr qint64 kOutside = LLONG_MIN;
// For this long after a change the consumers are offered pictures at their own rate
// (an encoder sends the last picture a few more times); then the thread sleeps until
// the display reports something, looking again every kIdleWaitMs for consumers that
// want the picture again (H.264 keep-alive) and for a warped pointer (XWarpPointer
// makes no raw motion).
constexpr gint64 kIdleAfterUs = 2 * G_USEC_PER_SEC;
constexpr int kIdleWaitMs = 250;
// A grabber that cannot report pointer motion has its pointer looked at this often.
constexpr int kPointerPollMs = 100;
qint64 packPoint(QPoint p) {
    return (qint64(p.x()) << 32) | quint32(p.y());
}
QPoint unpackPoint(qint64 v) {
    return {int(v >> 32), int(qint32(quint32(v & 0xffffffff)))};
}
} // namespace

CaptureFeed::CaptureFeed(int monitorId, std::unique_ptr<FrameGrabber> grabber)
    : m_monitorId(monitorId), m_grabber(std::move(grabber)) {
    m_pointer = kOutside;
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CaptureFeed::~CaptureFeed() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    signal();
    if (m_thread.joinable())
        m_thread.join();
    if (m_latest)
        gst_buffer_unref(m_latest);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

Result<std::monostate> CaptureFeed::start(const QRect &rect) {
    if (m_wakeFd < 0)
        return Result<std::monostate>::failure(
            Error::make(Error::Kind::Unavailable, QStringLiteral("no eventfd for the capture thread")));
    Result<std::monostate> opened = m_grabber->open(rect);
    if (!opened.ok())
        return opened;
    m_rect = rect;
    m_thread = std::thread([this] { run(); });
    return opened;
}

void CaptureFeed::setRect(const QRect &rect) {
    {
        std::lock_guard lock(m_mutex);
        if (rect == m_rect || rect.isEmpty())
            return;
        m_rect = rect;
        m_rectChanged = true;
        m_woken = true;
    }
    signal();
}

void CaptureFeed::setShown(const QList<QRect> &areas) {
    {
        std::lock_guard lock(m_mutex);
        if (areas == m_shown)
            return;
        m_shown = areas;
        m_shownChanged = true;
        m_woken = true;
    }
    signal();
}

QRect CaptureFeed::rect() const {
    std::lock_guard lock(m_mutex);
    return m_rect;
}

QSize CaptureFeed::size() const {
    std::lock_guard lock(m_mutex);
    return m_rect.size();
}

void CaptureFeed::subscribe(FrameConsumer *consumer) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_consumers.contains(consumer))
            m_consumers.append(consumer);
        m_woken = true;
    }
    signal();
}

void CaptureFeed::unsubscribe(FrameConsumer *consumer) {
    {
        std::lock_guard lock(m_mutex);
        m_consumers.removeAll(consumer);
    }
    // Wait for a delivery in progress, which may still be calling it.
    std::lock_guard wait(m_deliver);
}

void CaptureFeed::wake() {
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    signal();
}

void CaptureFeed::signal() {
    const quint64 one = 1;
    // Full only after 2^64 - 2 unread wakes: the thread is awake then anyway.
    [[maybe_unused]] const ssize_t n = write(m_wakeFd, &one, sizeof one);
}

void CaptureFeed::sleep(int timeoutMs) {
    pollfd fd{m_wakeFd, POLLIN, 0};
    ::poll(&fd, 1, timeoutMs);
}

std::optional<QPoint> CaptureFeed::pointer() const {
    const qint64 v = m_pointer.load();
    if (v == kOutside)
        return std::nullopt;
    return unpackPoint(v);
}

GstBuffer *CaptureFeed::latest(QSize *size) const {
    std::lock_guard lock(m_mutex);
    if (size)
        *size = m_latestSize;
    return m_latest ? gst_buffer_ref(m_latest) : nullptr;
}

void CaptureFeed::drawPointer(GstBuffer *out, QSize size, QPoint pointer) {
    GstMapInfo map;
    if (!gst_buffer_map(out, &map, GST_MAP_WRITE))
        return;
    const int w = size.width();
    const int h = size.height();
    const int stride = w * 4;
    // The pointer, blended in (its picture is premultiplied).
    QPoint hotspot;
    const QImage &cursor = m_grabber->cursor(&hotspot);
    if (!cursor.isNull() && pointer.x() > INT_MIN) {
        const QPoint origin = pointer - hotspot;
        for (int cy = 0; cy < cursor.height(); ++cy) {
            const int y = origin.y() + cy;
            if (y < 0 || y >= h)
                continue;
            const auto *line = reinterpret_cast<const quint32 *>(cursor.constScanLine(cy));
            auto *dst = reinterpret_cast<quint32 *>(map.data + size_t(y) * size_t(stride));
            for (int cx = 0; cx < cursor.width(); ++cx) {
                const int x = origin.x() + cx;
                if (x < 0 || x >= w)
                    continue;
                const quint32 s = line[cx];
                const quint32 a = s >> 24;
                if (a == 0)
                    continue;
                const quint32 d = dst[x];
                const quint32 inv = 255 - a;
                auto ch = [&](int shift) {
                    const quint32 v = ((s >> shift) & 0xff) + (((d >> shift) & 0xff) * inv + 127) / 255;
                    return std::min<quint32>(v, 255) << shift;
                };
                dst[x] = ch(16) | ch(8) | ch(0);
            }
        }
    }
    gst_buffer_unmap(out, &map);
}

void CaptureFeed::blank(GstBuffer *out, QSize size, const QList<QRect> &gaps) {
    GstMapInfo map;
    if (!gst_buffer_map(out, &map, GST_MAP_WRITE))
        return;
    const QRect whole(QPoint(0, 0), size);
    const size_t stride = size_t(size.width()) * 4;
    for (const QRect &gap : gaps) {
        const QRect r = gap.intersected(whole);
        for (int y = r.top(); y <= r.bottom() && !r.isEmpty(); ++y)
            memset(map.data + size_t(y) * stride + size_t(r.x()) * 4, 0, size_t(r.width()) * 4);
    }
    gst_buffer_unmap(out, &map);
}

// What the capture thread carries from one turn of run() to the next.
struct CaptureFeed::RunState {
    struct Sent {
        gint64 due = 0; // when the consumer may have its next picture
        quint64 serial = 0;
    };
    QHash<FrameConsumer *, Sent> sent;
    quint64 serial = 0;  // of the latest picture
    bool dirty = true;   // the display changed since the latest picture
    bool redraw = false; // the pointer did
    QPoint lastPointer{INT_MIN, INT_MIN};
    QRect rect;
    QList<QRect> gaps; // relative to `rect`, black in every picture
    gint64 lastChange = 0;
    // A consumer had the same picture again in the last round (it asked): it may ask
    // again at its own rate, so the thread wakes for it as while the picture changes.
    bool repeating = false;
    // When the next picture may be taken: changes that come faster than the consumers'
    // rate wait for it, a change after a quiet spell is taken at once.
    gint64 due = 0;
};

// The feed's capture thread.
void CaptureFeed::run() {
    pthread_setname_np(pthread_self(), "velmo-capture");
    RunState st;
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_consumers.isEmpty()) {
            // Nobody watches: no capture, no polling. The next subscriber gets a fresh picture.
            sleepUntilWoken(lock);
            st.dirty = true;
            continue;
        }
        int fps = 1;
        for (FrameConsumer *c : std::as_const(m_consumers))
            fps = std::max(fps, c->maxFps());
        const bool rectChanged = std::exchange(m_rectChanged, false);
        if (std::exchange(m_shownChanged, false) || rectChanged) {
            st.gaps.clear();
            if (!m_shown.isEmpty()) {
                QRegion gaps(QRect(QPoint(0, 0), m_rect.size()));
                for (const QRect &r : std::as_const(m_shown))
                    gaps -= r.translated(-m_rect.topLeft());
                st.gaps = QList<QRect>(gaps.begin(), gaps.end());
            }
            st.dirty = true;
        }
        st.rect = m_rect;
        m_woken = false;
        lock.unlock();
        drainWakes();

        const std::optional<QPoint> drawn = pollDisplay(st, rectChanged);
        if (!drawn) {
            // The display is gone for good: the thread only waits to be stopped.
            lock.lock();
            while (!m_stop)
                sleepUntilWoken(lock);
            break;
        }
        const gint64 interval = G_USEC_PER_SEC / fps;
        gint64 now = g_get_monotonic_time();
        if (st.dirty || st.redraw)
            st.lastChange = now;
        if ((st.dirty || st.redraw) && now >= st.due - 1000) {
            // On a moving desktop the pictures come exactly `interval` apart, however long taking one lasts.
            st.due = now - st.due < interval ? st.due + interval : now + interval;
            grab(st, *drawn);
            now = g_get_monotonic_time();
        }
        const gint64 next = deliver(st, now);
        waitForNews(lock, st, now, next, interval);
    }
}

void CaptureFeed::drainWakes() {
    quint64 count = 0;
    [[maybe_unused]] const ssize_t n = read(m_wakeFd, &count, sizeof count);
}

// Capture thread; `lock` is held on entry and on return.
void CaptureFeed::sleepUntilWoken(std::unique_lock<std::mutex> &lock) {
    lock.unlock();
    sleep(-1);
    drainWakes();
    lock.lock();
}

// Capture thread. Follows the display's rectangle, damage and pointer; the pointer's place
// in the picture (INT_MIN when outside), or none when the display is lost.
std::optional<QPoint> CaptureFeed::pollDisplay(RunState &st, bool rectChanged) {
    if (rectChanged) {
        if (!m_grabber->setRect(st.rect))
            qCWarning(lcFeed) << "monitor" << m_monitorId << "cannot be captured at" << st.rect;
        // Grabbed at the new size either way: a grabber that failed just now tries again.
        st.dirty = true;
    }
    const FrameGrabber::Poll poll = m_grabber->poll();
    if (poll.lost) {
        qCWarning(lcFeed) << "display lost: capture of monitor" << m_monitorId << "ends";
        m_pointer = kOutside;
        return std::nullopt;
    }
    st.dirty = st.dirty || poll.damaged;
    const QPoint rel = poll.pointer - st.rect.topLeft();
    const bool inside = QRect(QPoint(0, 0), st.rect.size()).contains(rel);
    const QPoint drawn = inside ? rel : QPoint(INT_MIN, INT_MIN);
    m_pointer = inside ? packPoint(rel) : kOutside;
    st.redraw = st.redraw || drawn != st.lastPointer || (inside && poll.cursorChanged);
    st.lastPointer = drawn;
    return drawn;
}

// Capture thread. The picture is the grabbed memory itself, with the pointer drawn in: a
// pointer that moved over a still desktop is a new grab (the server copies, not this thread).
void CaptureFeed::grab(RunState &st, QPoint drawn) {
    const gint64 started = g_get_monotonic_time();
    const FrameGrabber::Grab grabbed = m_grabber->grab();
    const QSize size = st.rect.size();
    GstBuffer *out = grabbed == FrameGrabber::Grab::Ok ? m_grabber->picture() : nullptr;
    if (out) {
        if (st.dirty)
            ++m_grabs;
        if (!st.gaps.isEmpty())
            blank(out, size, st.gaps);
        drawPointer(out, size, drawn);
        const int cost = int(std::min<gint64>(g_get_monotonic_time() - started, G_USEC_PER_SEC));
        const int before = m_grabCostUs.load();
        m_grabCostUs = before <= 0 ? cost : (7 * before + cost) / 8;
        std::lock_guard keep(m_mutex);
        if (m_latest)
            gst_buffer_unref(m_latest);
        m_latest = out;
        m_latestSize = size;
        ++st.serial;
    }
    // Every picture still in use: this change is taken at the next turn.
    if (grabbed != FrameGrabber::Grab::Busy) {
        st.dirty = false;
        st.redraw = false;
    }
}

// Capture thread. Offers the latest picture to each consumer that is due; returns the next
// time a consumer is offered a picture (at its own rate, only while the picture changed
// lately or when it asks).
gint64 CaptureFeed::deliver(RunState &st, gint64 now) {
    gint64 next = G_MAXINT64;
    st.repeating = false;
    std::lock_guard delivering(m_deliver);
    QList<FrameConsumer *> consumers;
    GstBuffer *frame = nullptr;
    QSize size;
    {
        std::lock_guard keep(m_mutex);
        consumers = m_consumers;
        frame = m_latest ? gst_buffer_ref(m_latest) : nullptr;
        size = m_latestSize;
    }
    for (auto it = st.sent.begin(); it != st.sent.end();)
        it = consumers.contains(it.key()) ? std::next(it) : st.sent.erase(it);
    for (FrameConsumer *c : std::as_const(consumers)) {
        RunState::Sent &s = st.sent[c];
        const gint64 own = G_USEC_PER_SEC / std::max(1, c->maxFps());
        // A frame the consumer has not seen yet, at its own rate (on a schedule, so that
        // the time a grab takes does not cost it a frame); or the same one again when it asks.
        if (!frame)
            continue;
        if (now < s.due - 2000) {
            next = std::min(next, s.due);
            continue;
        }
        if (s.serial == st.serial && !c->wantsRepeat(now))
            continue;
        st.repeating = st.repeating || s.serial == st.serial;
        c->consumeFrame(frame, size, s.serial == st.serial);
        s.due = now - s.due < own ? s.due + own : now + own;
        s.serial = st.serial;
        next = std::min(next, s.due);
    }
    if (frame)
        gst_buffer_unref(frame);
    return next;
}

// Capture thread; `lock` is not held on entry and is held on return. A pending change waits
// for its turn without listening to the display (which keeps reporting); otherwise the
// display's news wake the thread.
void CaptureFeed::waitForNews(std::unique_lock<std::mutex> &lock, const RunState &st, gint64 now, gint64 next,
                              gint64 interval) {
    const bool recent = now - st.lastChange < kIdleAfterUs || st.repeating;
    int timeoutMs = kIdleWaitMs;
    if (recent && next != G_MAXINT64)
        timeoutMs = int(std::clamp<gint64>((next - now + 999) / 1000, 0, kIdleWaitMs));
    if (!m_grabber->reportsMotion())
        timeoutMs = std::min(timeoutMs, recent ? int(interval / 1000) : kPointerPollMs);
    lock.lock();
    if (m_stop || m_woken)
        return;
    lock.unlock();
    if (st.dirty || st.redraw)
        sleep(int(std::clamp<gint64>((st.due - now + 999) / 1000, 0, kIdleWaitMs)));
    else
        m_grabber->wait(m_wakeFd, timeoutMs);
    lock.lock();
}
