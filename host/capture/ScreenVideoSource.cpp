#include "capture/ScreenVideoSource.h"

#include "capture/CaptureFeed.h"
#include "capture/EncoderPool.h"
#include "capture/ScreenCapture.h"
#include "network/LinkRate.h"
#include "webrtc/WebrtcTrack.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QThreadPool>

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcScreenSource, "velmo.capture.source")

namespace {
// H.264 waiting in this session's appsrc beyond this means the viewer's path is behind:
// drop and restart from a key frame rather than queue.
constexpr guint64 kMaxQueuedBytes = 4 * 1024 * 1024;
int even(double v) {
    return std::max(2, int(std::lround(v / 2.0)) * 2);
}
} // namespace

ScreenVideoSource::ScreenVideoSource(ScreenCapture *capture, EncoderPool *pool, GstElement *pipeline, QObject *parent)
    : VideoSource(parent), m_capture(capture), m_pool(pool), m_pipeline(pipeline) {
    m_monitor = capture->primaryId();
    m_settle.setSingleShot(true);
    m_settle.setInterval(250);
    connect(&m_settle, &QTimer::timeout, this, &ScreenVideoSource::rewire);
    connect(capture, &ScreenCapture::monitorsChanged, this, &ScreenVideoSource::followMonitors);
}

void ScreenVideoSource::followMonitors() {
    bool known = m_monitor == 0;
    const auto list = m_capture ? m_capture->monitors() : QList<CaptureMonitor>();
    for (const CaptureMonitor &m : list)
        known = known || m.id == m_monitor;
    // The display shown went away: the primary one instead (its feed would show the
    // primary one too, under the old id the viewer can no longer choose).
    if (!known && m_capture) {
        m_monitor = m_capture->primaryId();
        rewire();
    }
    // The size of the picture may have changed: the encoder's rate follows.
    if (m_rate)
        applyRate();
    Q_EMIT monitorsChanged();
}

ScreenVideoSource::~ScreenVideoSource() {
    if (m_encoder)
        m_encoder->removeSink(this);
}

QJsonArray ScreenVideoSource::monitors() const {
    QJsonArray out;
    if (!m_capture)
        return out;
    const auto list = m_capture->monitors();
    for (const CaptureMonitor &m : list)
        out.append(QJsonObject{
            {"id", m.id}, {"name", m.name}, {"w", m.rect.width()}, {"h", m.rect.height()}, {"primary", m.primary}});
    return out;
}

bool ScreenVideoSource::addJpeg() {
    m_h264 = false;
    return true;
}

bool ScreenVideoSource::addH264(GstElement *webrtc, int pt, int twccExt) {
    m_h264 = true;
    const QByteArray rtpCaps = LinkRate::h264Caps(pt, twccExt);
    const QByteArray desc = "appsrc name=src is-live=true format=time do-timestamp=true block=false "
                            "caps=video/x-h264,stream-format=byte-stream,alignment=au ! "
                            "rtph264pay config-interval=-1 aggregate-mode=zero-latency ! capsfilter name=rtpcaps";
    GError *err = nullptr;
    GstElement *bin = gst_parse_bin_from_description(desc.constData(), TRUE, &err);
    if (!bin) {
        qCWarning(lcScreenSource) << "h264 branch:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    GstElement *capsfilter = gst_bin_get_by_name(GST_BIN(bin), "rtpcaps");
    GstCaps *caps = gst_caps_from_string(rtpCaps.constData());
    g_object_set(capsfilter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_object_unref(capsfilter);
    m_appsrc = gst_bin_get_by_name(GST_BIN(bin), "src");
    GstPad *pad = gst_element_get_static_pad(m_appsrc, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onUpstream, this, nullptr);
    gst_object_unref(pad);
    gst_object_unref(m_appsrc); // the pipeline owns it
    if (twccExt > 0) {
        m_rate = std::make_unique<LinkRate>(m_settings.kbps);
        GstPad *out = gst_element_get_static_pad(bin, "src");
        m_rate->attach(out, webrtc);
        gst_object_unref(out);
        connect(m_rate.get(), &LinkRate::targetChanged, this, &ScreenVideoSource::applyRate);
        // Even the lowest frame rate is not readable at this size: a smaller picture (a new
        // encoder and a key frame, so the steps are seconds apart).
        connect(m_rate.get(), &LinkRate::scaleChanged, this, [this](double factor) { setLinkStep(factor, 100); });
    }
    return WebrtcTrack::link(bin, webrtc, rtpCaps, true);
}

// The session pipeline's streaming thread: webrtcbin asks for a key frame (the viewer
// sent a PLI or FIR). The pipeline stops before this object goes.
GstPadProbeReturn ScreenVideoSource::onUpstream(GstPad *, GstPadProbeInfo *info, gpointer data) {
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    if (ev && gst_video_event_is_force_key_unit(ev)) {
        auto *self = static_cast<ScreenVideoSource *>(data);
        QMetaObject::invokeMethod(
            self,
            [self] {
                if (self->m_encoder)
                    self->m_encoder->requestKeyFrame();
            },
            Qt::QueuedConnection);
        return GST_PAD_PROBE_DROP;
    }
    return GST_PAD_PROBE_OK;
}

void ScreenVideoSource::setFlowing(bool on) {
    if (on == m_flowing)
        return;
    m_flowing = on;
    if (m_rate)
        on ? m_rate->start() : m_rate->stop();
    rewire();
}

void ScreenVideoSource::apply(const Settings &s) {
    m_settings = s.clamped();
    // The viewer's kbps is a ceiling: the path's estimate goes up to it.
    if (m_rate)
        m_rate->setCeiling(m_settings.kbps);
    // Each change of encoder costs the viewer a key frame: a burst of changes becomes one.
    if (!m_settle.isActive())
        m_settle.start();
}

void ScreenVideoSource::setLinkStep(double scale, int q) {
    m_stepScale = std::clamp(scale, 0.1, 1.0);
    m_stepQ = std::clamp(q, 1, 100);
    if (!m_settle.isActive())
        m_settle.start();
}

double ScreenVideoSource::scale() const {
    return std::max(0.05, m_settings.scale * m_stepScale);
}

void ScreenVideoSource::select(const QString &mode, qint64 id) {
    if (!m_capture)
        return;
    int next = m_monitor;
    if (mode == QLatin1String("all")) {
        next = 0;
    } else if (mode == QLatin1String("single")) {
        bool known = false;
        const auto list = m_capture->monitors();
        for (const CaptureMonitor &m : list)
            known = known || m.id == id;
        if (!known)
            return;
        next = int(id);
    } else {
        return;
    }
    if (next == m_monitor)
        return;
    m_monitor = next;
    rewire();
}

void ScreenVideoSource::rewire() {
    std::shared_ptr<CaptureFeed> feed;
    std::shared_ptr<VideoEncoder> encoder;
    if (m_flowing && m_capture) {
        feed = m_capture->feed(m_monitor);
        if (!feed) {
            // The display went away: the primary one instead.
            m_monitor = m_capture->primaryId();
            feed = m_capture->feed(m_monitor);
        }
        if (feed) {
            VideoEncoder::Key key;
            key.monitor = m_monitor;
            key.h264 = m_h264;
            key.fps = m_settings.fps;
            key.scalePercent = int(std::lround(scale() * 100));
            key.q = m_h264 ? 0 : std::min(m_settings.q, m_stepQ);
            key.kbps = m_h264 ? m_settings.kbps : 0;
            encoder = m_pool->encoder(feed, key);
        }
    }
    if (encoder == m_encoder)
        return;
    if (m_encoder)
        m_encoder->removeSink(this);
    // The new encoder's stream starts at its next key frame.
    m_needKey = true;
    m_encoder = encoder;
    m_feed = feed;
    if (m_encoder) {
        m_encoder->addSink(this);
        if (m_rate)
            applyRate();
    }
}

QSize ScreenVideoSource::nativeSize() const {
    QSize native = m_feed ? m_feed->size() : QSize();
    if (native.isEmpty())
        native = desktopRect().value_or(QRect()).size();
    return native;
}

QSize ScreenVideoSource::frameSize() const {
    const QSize native = nativeSize();
    if (native.isEmpty())
        return {};
    return {even(native.width() * scale()), even(native.height() * scale())};
}

std::optional<QRect> ScreenVideoSource::desktopRect() const {
    if (m_feed)
        return m_feed->rect();
    QRect all;
    if (m_capture) {
        const auto list = m_capture->monitors();
        for (const CaptureMonitor &m : list)
            if (m.id == m_monitor || m_monitor == 0)
                all = all.united(m.rect);
    }
    return all;
}

QList<QRect> ScreenVideoSource::desktopAreas() const {
    QList<QRect> areas;
    if (m_monitor != 0 || !m_capture)
        return areas;
    const auto list = m_capture->monitors();
    for (const CaptureMonitor &m : list)
        areas.append(m.rect);
    return areas;
}

std::optional<QPoint> ScreenVideoSource::pointer() const {
    if (!m_feed)
        return std::nullopt;
    const auto p = m_feed->pointer();
    if (!p)
        return std::nullopt;
    return QPoint(int(std::lround(p->x() * scale())), int(std::lround(p->y() * scale())));
}

QString ScreenVideoSource::encoder() const {
    if (!m_h264)
        return QStringLiteral("libjpeg");
    return m_encoder ? m_encoder->encoderName() : m_pool->h264Encoder();
}

void ScreenVideoSource::applyRate() {
    if (!m_encoder || !m_rate)
        return;
    const int kbps = m_rate->targetKbps();
    const QSize size = frameSize();
    // The link's scale steps are judged against the picture the viewer asked for.
    const QSize native = nativeSize();
    const double viewer = std::max(0.05, m_settings.scale);
    m_rate->setPicture(int(double(native.width()) * viewer * double(native.height()) * viewer));
    // Below what a picture of this size needs at the viewer's frame rate: fewer frames,
    // each one still readable.
    const int fps = CongestionController::frameRateFor(kbps, size.width() * size.height(), m_settings.fps);
    m_encoder->setSinkRate(this, kbps, fps);
}

QJsonObject ScreenVideoSource::linkStats() {
    QJsonObject o = m_rate ? m_rate->stats() : QJsonObject();
    if (!m_encoder)
        return o;
    // The encoder runs at the lowest rate of the viewers it serves, and above the steady
    // rate no faster than this machine keeps up.
    const int fpsCap = m_encoder->maxFps();
    if (m_rate) {
        o.insert("target", m_encoder->bitrate());
        o.insert("fpsCap", fpsCap);
    }
    // How fast this picture could come: the viewer offers a higher rate when it is enough.
    if (const int can = m_encoder->sustainableFps(); can > 0)
        o.insert("canFps", can);
    // Frames the encoder had to drop (it could not keep up), or a rate above the steady
    // one held back: the machine is the limit.
    const auto [in, out] = m_encoder->takeThroughput();
    const bool held = fpsCap < std::min(m_settings.fps, m_encoder->frameRate());
    if (!o.contains("limit") && ((in >= 10 && out < in * 85 / 100) || held))
        o.insert("limit", QStringLiteral("CPU"));
    return o;
}

QPair<int, qint64> ScreenVideoSource::takeCounters() {
    return {m_frames.exchange(0), m_bytes.exchange(0)};
}

// Encoder thread.
void ScreenVideoSource::h264(GstBuffer *au) {
    if (!m_appsrc)
        return;
    const bool key = !GST_BUFFER_FLAG_IS_SET(au, GST_BUFFER_FLAG_DELTA_UNIT);
    if (m_needKey.load() && !key)
        return; // nothing decodes before the next key frame
    if (gst_app_src_get_current_level_bytes(GST_APP_SRC(m_appsrc)) > kMaxQueuedBytes) {
        m_needKey = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_encoder)
                    m_encoder->requestKeyFrame();
            },
            Qt::QueuedConnection);
        return;
    }
    m_needKey = false;
    if (key)
        ++m_keyFrames;
    GstBuffer *copy = gst_buffer_copy(au);
    GST_BUFFER_PTS(copy) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DTS(copy) = GST_CLOCK_TIME_NONE;
    const qint64 size = qint64(gst_buffer_get_size(copy));
    if (gst_app_src_push_buffer(GST_APP_SRC(m_appsrc), copy) == GST_FLOW_OK) {
        ++m_frames;
        m_bytes += size;
    }
}

// Encoder thread (or the main thread for the last picture of an encoder).
void ScreenVideoSource::jpeg(const QByteArray &data, QSize size) {
    // The main thread still has two to send: drop this one, the picture stays fresh.
    if (m_pendingJpegs.load() >= 2)
        return;
    ++m_pendingJpegs;
    QMetaObject::invokeMethod(
        this,
        [this, data, size] {
            --m_pendingJpegs;
            if (!m_flowing)
                return;
            ++m_frames;
            m_bytes += data.size();
            Q_EMIT jpegFrame(data, size.width(), size.height());
        },
        Qt::QueuedConnection);
}

void ScreenVideoSource::requestStill() {
    if (m_stillBusy || !m_feed)
        return;
    QSize size;
    GstBuffer *frame = m_feed->latest(&size);
    if (!frame)
        return;
    m_stillBusy = true;
    QThreadPool::globalInstance()->start([self = QPointer<ScreenVideoSource>(this), frame, size] {
        QByteArray png;
        GstMapInfo map;
        if (gst_buffer_map(frame, &map, GST_MAP_READ)) {
            const QImage img(map.data, size.width(), size.height(), size.width() * 4, QImage::Format_RGB32);
            QBuffer out(&png);
            out.open(QIODevice::WriteOnly);
            img.save(&out, "PNG", 90);
            gst_buffer_unmap(frame, &map);
        }
        gst_buffer_unref(frame);
        QMetaObject::invokeMethod(
            qApp,
            [self, png, size] {
                if (!self)
                    return;
                self->m_stillBusy = false;
                if (!png.isEmpty())
                    Q_EMIT self->stillReady(png, size.width(), size.height());
            },
            Qt::QueuedConnection);
    });
}
