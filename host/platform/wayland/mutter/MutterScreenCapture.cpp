#include "platform/wayland/mutter/MutterScreenCapture.h"

#include "capture/CaptureFeed.h"
#include "platform/wayland/mutter/MutterFrameGrabber.h"
#include "platform/wayland/mutter/MutterSession.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcMutterScreen, "velmo.capture.mutter")

namespace {
// How long a thumbnail waits for a picture when no viewer keeps one.
constexpr int kSnapshotWaitMs = 1000;
} // namespace

MutterScreenCapture::MutterScreenCapture(std::shared_ptr<MutterSession> session, QObject *parent)
    : ScreenCapture(parent), m_session(std::move(session)) {
    connect(m_session.get(), &MutterSession::failed, this, &ScreenCapture::failed);
    connect(m_session.get(), &MutterSession::monitorsChanged, this, [this] {
        for (auto it = m_feeds.begin(); it != m_feeds.end();) {
            auto feed = it.value().lock();
            if (!feed) {
                it = m_feeds.erase(it);
                continue;
            }
            for (const auto &s : m_session->streams())
                if (s->id == it.key() || (it.key() == 0 && s->primary))
                    feed->setRect(s->rect);
            ++it;
        }
        Q_EMIT monitorsChanged();
    });
}

MutterScreenCapture::~MutterScreenCapture() = default;

bool MutterScreenCapture::available() const {
    return m_session->problem().isEmpty();
}

QString MutterScreenCapture::problem() const {
    return m_session->problem();
}

QList<CaptureMonitor> MutterScreenCapture::monitors() const {
    QList<CaptureMonitor> list;
    for (const auto &s : m_session->streams())
        list.append({s->id, s->connector, s->rect, s->primary});
    return list;
}

std::shared_ptr<CaptureFeed> MutterScreenCapture::feed(int id) {
    if (!available())
        return nullptr;
    if (auto existing = m_feeds.value(id).lock())
        return existing;
    std::shared_ptr<MutterStream> stream;
    for (const auto &s : m_session->streams())
        if (s->id == id || (id == 0 && (s->primary || !stream)))
            stream = s;
    if (!stream)
        return nullptr;
    auto feed = std::make_shared<CaptureFeed>(id, std::make_unique<MutterFrameGrabber>(stream));
    if (const Result<std::monostate> started = feed->start(stream->rect); !started.ok()) {
        qCWarning(lcMutterScreen) << "capture of monitor" << stream->connector << "failed:" << started.error.message;
        return nullptr;
    }
    m_feeds.insert(id, feed);
    return feed;
}

QImage MutterScreenCapture::snapshot(int id, QSize box) {
    // A live feed has the picture already; otherwise a feed is kept for a moment (the
    // thumbnail, once a minute).
    std::shared_ptr<CaptureFeed> live = m_feeds.value(id).lock();
    QSize size;
    GstBuffer *buf = live ? live->latest(&size) : nullptr;
    if (!buf) {
        std::shared_ptr<MutterStream> stream;
        for (const auto &s : m_session->streams())
            if (s->id == id || (id == 0 && (s->primary || !stream)))
                stream = s;
        if (!stream || !stream->node)
            return {};
        MutterFrameGrabber grabber(stream);
        if (!grabber.open(stream->rect).ok())
            return {};
        QElapsedTimer waited;
        waited.start();
        while (!buf && waited.elapsed() < kSnapshotWaitMs) {
            const FrameGrabber::Poll p = grabber.poll();
            if (p.lost)
                return {};
            if (p.damaged && grabber.grab() == FrameGrabber::Grab::Ok)
                buf = grabber.picture();
            else
                grabber.wait(-1, 50);
        }
        size = stream->rect.size();
    }
    if (!buf)
        return {};
    QImage out;
    GstMapInfo map;
    if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
        const QImage view(map.data, size.width(), size.height(), size.width() * 4, QImage::Format_RGB32);
        out = view.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        gst_buffer_unmap(buf, &map);
    }
    gst_buffer_unref(buf);
    return out;
}
