#include "platform/wayland/PipeWireScreenCapture.h"

#include "capture/CaptureFeed.h"
#include "platform/wayland/PipeWireFrameGrabber.h"
#include "platform/wayland/StreamSession.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPipeWireScreen, "velmo.capture.pipewire")

namespace {
// How long a thumbnail waits for a picture when no viewer keeps one.
constexpr int kSnapshotWaitMs = 1000;
} // namespace

PipeWireScreenCapture::PipeWireScreenCapture(std::shared_ptr<StreamSession> session, const QString &description,
                                             QObject *parent)
    : ScreenCapture(parent), m_session(std::move(session)), m_description(description) {
    connect(m_session.get(), &StreamSession::failed, this, &ScreenCapture::failed);
    connect(m_session.get(), &StreamSession::streamsReady, this, &ScreenCapture::ready);
    connect(m_session.get(), &StreamSession::monitorsChanged, this, [this] {
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

PipeWireScreenCapture::~PipeWireScreenCapture() = default;

bool PipeWireScreenCapture::waiting() const {
    return m_session->waiting();
}

bool PipeWireScreenCapture::available() const {
    return m_session->problem().isEmpty();
}

QString PipeWireScreenCapture::problem() const {
    return m_session->problem();
}

QList<CaptureMonitor> PipeWireScreenCapture::monitors() const {
    QList<CaptureMonitor> list;
    for (const auto &s : m_session->streams())
        list.append({s->id, s->connector, s->rect, s->primary});
    return list;
}

std::shared_ptr<CaptureFeed> PipeWireScreenCapture::feed(int id) {
    if (!available())
        return nullptr;
    if (auto existing = m_feeds.value(id).lock())
        return existing;
    std::shared_ptr<PipeWireStream> stream;
    for (const auto &s : m_session->streams())
        if (s->id == id || (id == 0 && (s->primary || !stream)))
            stream = s;
    if (!stream)
        return nullptr;
    auto feed = std::make_shared<CaptureFeed>(id, std::make_unique<PipeWireFrameGrabber>(stream));
    if (const Result<std::monostate> started = feed->start(stream->rect); !started.ok()) {
        qCWarning(lcPipeWireScreen) << "capture of monitor" << stream->connector << "failed:" << started.error.message;
        return nullptr;
    }
    m_feeds.insert(id, feed);
    return feed;
}

QImage PipeWireScreenCapture::snapshot(int id, QSize box) {
    // A live feed has the picture already; otherwise a feed is kept for a moment (the
    // thumbnail, once a minute).
    std::shared_ptr<CaptureFeed> live = m_feeds.value(id).lock();
    QSize size;
    GstBuffer *buf = live ? live->latest(&size) : nullptr;
    if (!buf) {
        std::shared_ptr<PipeWireStream> stream;
        for (const auto &s : m_session->streams())
            if (s->id == id || (id == 0 && (s->primary || !stream)))
                stream = s;
        if (!stream || !stream->node)
            return {};
        PipeWireFrameGrabber grabber(stream);
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
