#include "platform/wayland/wlroots/WlrFrameGrabber.h"

#include "platform/wayland/WaylandClient.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <QLoggingCategory>

#include <atomic>
#include <climits>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

Q_LOGGING_CATEGORY(lcWlrGrab, "velmo.capture.wlroots")

namespace {
// Pictures in use at once, as with the X11 capture.
constexpr size_t kMaxBuffers = 6;
// How long a grab waits for the compositor's first picture of an output.
constexpr int kFirstPictureMs = 500;
} // namespace

// One shared-memory picture, known to the compositor as a wl_buffer. Its memory stays
// mapped while the grabber or a buffer made from it holds it.
struct WlrFrameGrabber::Buffer {
    wl_buffer *buffer = nullptr; // capture thread
    uchar *data = nullptr;
    size_t bytes = 0;
    QSize size;
    int stride = 0;
    uint32_t format = 0;
    std::atomic<bool> lent{false};
    ~Buffer() {
        if (data)
            munmap(data, bytes);
    }
};

// The outstanding screencopy frame and what the compositor said about it.
struct WlrFrameGrabber::Request {
    zwlr_screencopy_frame_v1 *frame = nullptr;
    bool withDamage = false;
    bool described = false; // the shm format arrived
    uint32_t format = 0;
    QSize size;
    int stride = 0;
    bool copying = false;
    std::shared_ptr<WlrFrameGrabber::Buffer> target;
    bool yInvert = false;
    bool ready = false;
    bool failed = false;
    WlrFrameGrabber *owner = nullptr;
};

struct WlrFrameGrabber::Impl {
    zwlr_screencopy_manager_v1 *manager = nullptr;
    uint32_t version = 0;
    const WaylandClient::Output *output = nullptr;
    QRect rect;
    std::vector<std::shared_ptr<Buffer>> buffers;
    std::unique_ptr<Request> req;
    std::shared_ptr<Buffer> ready; // the newest picture, until grabbed
    bool readyYInvert = false;
    uint32_t readyFormat = 0;
    std::shared_ptr<Buffer> last; // the last grab, until taken
    bool fresh = true;            // the next request copies at once (no damage to wait for)
    bool lost = false;
};

namespace {
void frameBuffer(void *data, zwlr_screencopy_frame_v1 *, uint32_t format, uint32_t width, uint32_t height,
                 uint32_t stride) {
    auto *r = static_cast<WlrFrameGrabber::Request *>(data);
    // The first shared-memory description counts (later versions list several).
    if (r->described)
        return;
    r->described = true;
    r->format = format;
    r->size = QSize(int(width), int(height));
    r->stride = int(stride);
}
void frameFlags(void *data, zwlr_screencopy_frame_v1 *, uint32_t flags) {
    static_cast<WlrFrameGrabber::Request *>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
}
void frameReady(void *data, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {
    static_cast<WlrFrameGrabber::Request *>(data)->ready = true;
}
void frameFailed(void *data, zwlr_screencopy_frame_v1 *) {
    static_cast<WlrFrameGrabber::Request *>(data)->failed = true;
}
void frameDamage(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t, uint32_t) {}
void frameDmabuf(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {}
void frameBufferDone(void *, zwlr_screencopy_frame_v1 *) {}

const zwlr_screencopy_frame_v1_listener kFrameListener{frameBuffer, frameFlags,  frameReady,     frameFailed,
                                                       frameDamage, frameDmabuf, frameBufferDone};

bool bgrx(uint32_t format) {
    return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888;
}
bool rgbx(uint32_t format) {
    return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}
} // namespace

WlrFrameGrabber::WlrFrameGrabber() : d(std::make_unique<Impl>()) {}

WlrFrameGrabber::~WlrFrameGrabber() {
    dropRequest();
    d->ready.reset();
    d->last.reset();
    for (const auto &b : d->buffers)
        if (b->buffer)
            wl_buffer_destroy(std::exchange(b->buffer, nullptr));
    d->buffers.clear();
    if (d->manager)
        zwlr_screencopy_manager_v1_destroy(d->manager);
    if (m_client)
        m_client->dispatchPending();
}

bool WlrFrameGrabber::open(const QRect &rect, QString *error) {
    m_client = WaylandClient::connect(error);
    if (!m_client)
        return false;
    d->manager = static_cast<zwlr_screencopy_manager_v1 *>(m_client->bind(&zwlr_screencopy_manager_v1_interface, 3));
    if (!d->manager) {
        *error = QStringLiteral("the compositor has no wlr-screencopy");
        return false;
    }
    d->version = zwlr_screencopy_manager_v1_get_version(d->manager);
    if (!setRect(rect)) {
        *error = QStringLiteral("no output of the compositor is at %1,%2 %3x%4")
                     .arg(rect.x())
                     .arg(rect.y())
                     .arg(rect.width())
                     .arg(rect.height());
        return false;
    }
    return true;
}

bool WlrFrameGrabber::setRect(const QRect &rect) {
    if (!m_client)
        return false;
    m_client->dispatchPending();
    d->rect = rect;
    d->output = nullptr;
    // The output shown there: the one at the rectangle's corner.
    for (const auto &o : m_client->outputs())
        if (o->desktopRect().contains(rect.topLeft()))
            d->output = o.get();
    dropRequest();
    d->ready.reset();
    d->last.reset();
    // Buffers of the old size go once nobody holds them; new ones are made on demand.
    for (const auto &b : d->buffers)
        if (b->buffer)
            wl_buffer_destroy(std::exchange(b->buffer, nullptr));
    d->buffers.clear();
    d->fresh = true;
    if (!d->output)
        return false;
    request();
    return true;
}

void WlrFrameGrabber::dropRequest() {
    if (d->req) {
        if (d->req->frame)
            zwlr_screencopy_frame_v1_destroy(d->req->frame);
        d->req.reset();
    }
}

void WlrFrameGrabber::request() {
    if (!d->output || d->req)
        return;
    d->req = std::make_unique<Request>();
    d->req->owner = this;
    d->req->withDamage = !d->fresh && d->version >= 2;
    d->fresh = false;
    // overlay_cursor 1: the compositor draws the pointer into the picture.
    d->req->frame = zwlr_screencopy_manager_v1_capture_output(d->manager, 1, d->output->output);
    zwlr_screencopy_frame_v1_add_listener(d->req->frame, &kFrameListener, d->req.get());
    m_client->dispatchPending();
}

std::shared_ptr<WlrFrameGrabber::Buffer> WlrFrameGrabber::freeBuffer() {
    const Request &r = *d->req;
    for (const auto &b : d->buffers)
        if (!b->lent.load(std::memory_order_acquire) && b != d->ready && b != d->last && b->size == r.size &&
            b->stride == r.stride && b->format == r.format)
            return b;
    if (d->buffers.size() >= kMaxBuffers)
        return nullptr;
    auto b = std::make_shared<Buffer>();
    b->size = r.size;
    b->stride = r.stride;
    b->format = r.format;
    b->bytes = size_t(r.stride) * size_t(r.size.height());
    const int fd = memfd_create("velmo-screencopy", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(b->bytes)) != 0) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    void *mem = mmap(nullptr, b->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    b->data = static_cast<uchar *>(mem);
    auto *shm = static_cast<wl_shm *>(m_client->bind(&wl_shm_interface, 1));
    if (!shm) {
        close(fd);
        return nullptr;
    }
    wl_shm_pool *pool = wl_shm_create_pool(shm, fd, int32_t(b->bytes));
    b->buffer = wl_shm_pool_create_buffer(pool, 0, r.size.width(), r.size.height(), r.stride, r.format);
    wl_shm_pool_destroy(pool);
    wl_shm_destroy(shm);
    close(fd);
    d->buffers.push_back(b);
    return b;
}

void WlrFrameGrabber::copyInto() {
    Request &r = *d->req;
    if (r.copying || !r.described)
        return;
    if (!bgrx(r.format) && !rgbx(r.format)) {
        qCWarning(lcWlrGrab) << "the compositor offers an unsupported pixel format" << Qt::hex << r.format;
        r.failed = true;
        return;
    }
    auto b = freeBuffer();
    if (!b)
        return; // every buffer in use: copied once one comes back
    r.target = b;
    r.copying = true;
    if (r.withDamage)
        zwlr_screencopy_frame_v1_copy_with_damage(r.frame, b->buffer);
    else
        zwlr_screencopy_frame_v1_copy(r.frame, b->buffer);
    m_client->dispatchPending();
}

FrameGrabber::Poll WlrFrameGrabber::poll() {
    Poll p;
    // The compositor draws the pointer: nothing to draw here, nothing to follow.
    p.pointer = QPoint(INT_MIN / 2, INT_MIN / 2);
    if (!m_client || !m_client->dispatchPending() || d->lost) {
        p.lost = true;
        return p;
    }
    bool present = false;
    for (const auto &o : m_client->outputs())
        present = present || o.get() == d->output;
    if (!present && d->output) {
        // The output went away: nothing until the capture gives a new place.
        d->output = nullptr;
        dropRequest();
    }
    if (d->req) {
        copyInto();
        if (d->req->ready) {
            d->ready = d->req->target;
            d->readyYInvert = d->req->yInvert;
            d->readyFormat = d->req->format;
            dropRequest();
            request(); // the next one waits for damage
        } else if (d->req->failed) {
            // An output that changed under the copy: start again with a full copy.
            dropRequest();
            d->fresh = true;
            request();
        }
    } else {
        request();
    }
    p.damaged = d->ready != nullptr;
    return p;
}

void WlrFrameGrabber::wait(int wakeFd, int timeoutMs) {
    if (m_client && !d->ready)
        m_client->dispatchFor(timeoutMs, wakeFd);
}

FrameGrabber::Grab WlrFrameGrabber::grab() {
    if (!d->ready) {
        // Asked for a picture before one arrived (the first one, or after a change of
        // size): wait a moment for the full copy that is under way.
        if (d->req && !d->req->withDamage) {
            const gint64 until = g_get_monotonic_time() + kFirstPictureMs * 1000;
            while (!d->ready && d->req && g_get_monotonic_time() < until) {
                m_client->dispatchFor(int((until - g_get_monotonic_time()) / 1000) + 1);
                if (poll().lost)
                    return Grab::Failed;
            }
        }
        if (!d->ready) {
            if (d->req && d->req->described && !d->req->copying)
                return Grab::Busy;
            // Nothing changed: the last picture is still the right one.
            return d->req ? Grab::Failed : Grab::Busy;
        }
    }
    std::shared_ptr<Buffer> b = std::exchange(d->ready, nullptr);
    if (b->size != d->rect.size()) {
        qCInfo(lcWlrGrab) << "picture of" << b->size << "for an output shown as" << d->rect.size();
        return Grab::Failed;
    }
    // The consumers expect BGRx rows from the top, width × 4 apart.
    if (rgbx(d->readyFormat) || d->readyYInvert || b->stride != b->size.width() * 4) {
        const int w = b->size.width();
        const int h = b->size.height();
        std::vector<uchar> copy(size_t(w) * 4 * size_t(h));
        for (int y = 0; y < h; ++y) {
            const uchar *src = b->data + size_t(d->readyYInvert ? h - 1 - y : y) * size_t(b->stride);
            uchar *dst = copy.data() + size_t(y) * size_t(w) * 4;
            std::memcpy(dst, src, size_t(w) * 4);
            if (rgbx(d->readyFormat))
                for (int x = 0; x < w; ++x)
                    std::swap(dst[x * 4], dst[x * 4 + 2]);
        }
        if (b->stride == w * 4) {
            std::memcpy(b->data, copy.data(), copy.size());
        } else {
            // Rare: a padded stride. The picture goes on as a copy of its own.
            auto compact = std::make_shared<Buffer>();
            compact->bytes = copy.size();
            compact->data = static_cast<uchar *>(
                mmap(nullptr, compact->bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            if (compact->data == MAP_FAILED) {
                compact->data = nullptr;
                return Grab::Failed;
            }
            std::memcpy(compact->data, copy.data(), copy.size());
            compact->size = b->size;
            compact->stride = w * 4;
            b = compact;
        }
    }
    d->last = b;
    return Grab::Ok;
}

GstBuffer *WlrFrameGrabber::picture() {
    if (!d->last)
        return nullptr;
    std::shared_ptr<Buffer> b = std::exchange(d->last, nullptr);
    b->lent.store(true, std::memory_order_relaxed);
    const gsize size = gsize(b->stride) * gsize(b->size.height());
    auto *hold = new std::shared_ptr<Buffer>(b);
    // Called on whichever thread drops the last reference to the memory.
    const auto giveBack = [](gpointer data) {
        auto *h = static_cast<std::shared_ptr<Buffer> *>(data);
        (*h)->lent.store(false, std::memory_order_release);
        delete h;
    };
    return gst_buffer_new_wrapped_full(GstMemoryFlags(0), b->data, size, 0, size, hold, giveBack);
}

const QImage &WlrFrameGrabber::cursor(QPoint *hotspot) const {
    *hotspot = QPoint();
    return m_noCursor;
}
