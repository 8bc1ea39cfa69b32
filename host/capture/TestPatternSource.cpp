#include "capture/TestPatternSource.h"

#include "capture/JpegWriter.h"
#include "device/WebrtcTrack.h"
#include "network/LinkRate.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QThreadPool>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcPattern, "velmo.device.pattern")

namespace {
struct MonitorDef {
    int id;
    const char *name;
    int w;
    int h;
    bool primary;
    const char *pattern;
};
constexpr MonitorDef kMonitors[] = {
    {1, "テストパターン 1", 1280, 720, true, "ball"},
    {2, "テストパターン 2", 800, 600, false, "smpte"},
};
const MonitorDef &monitorDef(int id) {
    for (const auto &m : kMonitors)
        if (m.id == id)
            return m;
    return kMonitors[0];
}
constexpr int kSourceFps = 30;
int even(double v) {
    return std::max(2, int(std::lround(v / 2.0)) * 2);
}
} // namespace

TestPatternSource::TestPatternSource(GstElement *pipeline, const QString &notice, QObject *parent)
    : VideoSource(parent), m_pipeline(pipeline), m_notice(notice) {
    m_capsTimer.setSingleShot(true);
    m_capsTimer.setInterval(250);
    connect(&m_capsTimer, &QTimer::timeout, this, &TestPatternSource::applyCaps);
}

TestPatternSource::~TestPatternSource() = default;

QJsonArray TestPatternSource::patternMonitors() {
    QJsonArray out;
    for (const auto &m : kMonitors)
        out.append(QJsonObject{
            {"id", m.id}, {"name", QString::fromUtf8(m.name)}, {"w", m.w}, {"h", m.h}, {"primary", m.primary}});
    return out;
}

QJsonArray TestPatternSource::noticeMonitors() {
    const auto &m = monitorDef(1);
    return {QJsonObject{
        {"id", m.id}, {"name", QStringLiteral("画面を共有できません")}, {"w", m.w}, {"h", m.h}, {"primary", true}}};
}

QSize TestPatternSource::monitorSize(int id) {
    const auto &m = monitorDef(id);
    return {m.w, m.h};
}

// Upstream of the branch queue. A size or rate change in the branch sends a reconfigure
// event upstream; past the queue it would make the test source (whose caps are fixed)
// renegotiate with the still branch for nothing, from another thread.
GstPadProbeReturn TestPatternSource::dropReconfigure(GstPad *, GstPadProbeInfo *info, gpointer) {
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    return ev && GST_EVENT_TYPE(ev) == GST_EVENT_RECONFIGURE ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

void TestPatternSource::setBranchEntry(GstElement *bin) {
    GstElement *queue = gst_bin_get_by_name(GST_BIN(bin), "q");
    GstPad *queueSink = gst_element_get_static_pad(queue, "sink");
    gst_pad_add_probe(queueSink, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, dropReconfigure, nullptr, nullptr);
    gst_object_unref(queueSink);
    // The pipeline owns the pad; it outlives this object.
    m_branchPad = gst_element_get_static_pad(queue, "src");
    gst_object_unref(m_branchPad);
    gst_object_unref(queue);
    GstCaps *caps = branchCaps();
    g_object_set(m_encCaps, "caps", caps, nullptr);
    gst_caps_unref(caps);
}

GstCaps *TestPatternSource::branchCaps() const {
    const QSize size = frameSize();
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, size.width(), "height", G_TYPE_INT,
                                        size.height(), "framerate", GST_TYPE_FRACTION, m_settings.fps, 1, nullptr);
    // JPEG is full range (black 0, white 255). The pattern is drawn as RGB, so the
    // converter makes full-range I420 of it (from limited-range I420 of the same matrix
    // videoconvert would not stretch the range at all).
    if (!m_h264)
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, "I420", "colorimetry", G_TYPE_STRING, "1:4:0:0", nullptr);
    return caps;
}

QSize TestPatternSource::frameSize() const {
    const QSize native = monitorSize(m_monitor);
    return {even(native.width() * m_settings.scale), even(native.height() * m_settings.scale)};
}

bool TestPatternSource::addSource() {
    if (m_tee)
        return true;
    GError *err = nullptr;
    // The unscaled picture goes to a tee: one branch feeds the encoder, one keeps the
    // newest frame for stills.
    QByteArray picture = "videotestsrc name=src is-live=true pattern=ball motion=wavy ! "
                         "video/x-raw,format=BGRx,width=1280,height=720,framerate=30/1 ! ";
    if (!m_notice.isEmpty()) {
        // The text is escaped for the description: a quoted string without quotes or backslashes.
        QString text = m_notice;
        text.remove(QLatin1Char('"')).remove(QLatin1Char('\\'));
        picture = "videotestsrc name=src is-live=true pattern=solid-color foreground-color=" +
                  QByteArray::number(0xff000000u | noticeBackground) +
                  " ! video/x-raw,format=BGRx,width=1280,height=720,framerate=30/1 ! ";
        // Without the text overlay (pango) the viewer still gets the plain picture.
        if (GstElementFactory *overlay = gst_element_factory_find("textoverlay")) {
            gst_object_unref(overlay);
            picture += "textoverlay text=\"" + text.toUtf8() +
                       "\" valignment=center halignment=center line-alignment=center "
                       "font-desc=\"Sans 14\" shaded-background=false ! ";
        }
    }
    GstElement *bin = gst_parse_bin_from_description(
        (picture + "tee name=t ! queue leaky=downstream max-size-buffers=2 ! appsink name=still sync=false "
                   "max-buffers=1 drop=true emit-signals=false")
            .constData(),
        FALSE, &err);
    if (!bin) {
        qCWarning(lcPattern) << "source:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    m_testSrc = gst_bin_get_by_name(GST_BIN(bin), "src");
    m_tee = gst_bin_get_by_name(GST_BIN(bin), "t");
    m_stillSink = gst_bin_get_by_name(GST_BIN(bin), "still");
    // The pipeline owns the elements; drop the references the lookups added.
    for (GstElement *e : {m_testSrc, m_tee, m_stillSink})
        gst_object_unref(e);
    updateCaps();
    return true;
}

bool TestPatternSource::addJpeg() {
    if (!addSource())
        return false;
    GError *err = nullptr;
    GstElement *bin = gst_parse_bin_from_description(
        "queue name=q leaky=downstream max-size-buffers=2 ! valve name=gate drop=true "
        "drop-mode=forward-sticky-events ! videorate drop-only=true ! videoscale ! videoconvert ! "
        "capsfilter name=enccaps ! appsink name=jpegsink sync=false "
        "max-buffers=2 drop=true emit-signals=true",
        TRUE, &err);
    if (!bin) {
        qCWarning(lcPattern) << "jpeg branch:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    m_encCaps = gst_bin_get_by_name(GST_BIN(bin), "enccaps");
    setBranchEntry(bin);
    m_videoValve = gst_bin_get_by_name(GST_BIN(bin), "gate");
    gst_object_unref(m_videoValve);
    GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "jpegsink");
    g_signal_connect(sink, "new-sample", G_CALLBACK(onJpegSample), this);
    GstPad *encSrc = gst_element_get_static_pad(m_encCaps, "src");
    gst_pad_add_probe(encSrc, GST_PAD_PROBE_TYPE_BUFFER, countProbe, this, nullptr);
    gst_object_unref(encSrc);
    for (GstElement *e : {m_encCaps, sink})
        gst_object_unref(e);
    if (!gst_element_link(m_tee, bin))
        return false;
    updateCaps();
    return true;
}

bool TestPatternSource::addH264(GstElement *webrtc, int pt, int twccExt) {
    if (!addSource())
        return false;
    m_h264 = true;
    const QByteArray rtpCaps = LinkRate::h264Caps(pt, twccExt);
    GError *err = nullptr;
    const QByteArray desc =
        "queue name=q leaky=downstream max-size-buffers=2 ! valve name=gate drop=true "
        "drop-mode=forward-sticky-events ! videorate drop-only=true ! videoscale ! videoconvert ! "
        "capsfilter name=enccaps ! "
        "x264enc name=enc tune=zerolatency speed-preset=ultrafast threads=2 key-int-max=60 ! "
        "video/x-h264,profile=constrained-baseline ! rtph264pay config-interval=-1 aggregate-mode=zero-latency ! "
        "capsfilter name=rtpcaps";
    GstElement *bin = gst_parse_bin_from_description(desc.constData(), TRUE, &err);
    if (!bin) {
        qCWarning(lcPattern) << "h264 branch:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    m_encCaps = gst_bin_get_by_name(GST_BIN(bin), "enccaps");
    GstElement *rtpFilter = gst_bin_get_by_name(GST_BIN(bin), "rtpcaps");
    GstCaps *caps = gst_caps_from_string(rtpCaps.constData());
    g_object_set(rtpFilter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_object_unref(rtpFilter);
    setBranchEntry(bin);
    m_x264 = gst_bin_get_by_name(GST_BIN(bin), "enc");
    m_videoValve = gst_bin_get_by_name(GST_BIN(bin), "gate");
    GstPad *encSrc = gst_element_get_static_pad(m_x264, "src");
    gst_pad_add_probe(encSrc, GST_PAD_PROBE_TYPE_BUFFER, countProbe, this, nullptr);
    gst_object_unref(encSrc);
    for (GstElement *e : {m_encCaps, m_x264, m_videoValve})
        gst_object_unref(e);
    if (twccExt > 0) {
        m_rate = std::make_unique<LinkRate>(m_settings.kbps);
        GstPad *out = gst_element_get_static_pad(bin, "src");
        m_rate->attach(out, webrtc);
        gst_object_unref(out);
        m_rate->start();
        connect(m_rate.get(), &LinkRate::targetChanged, this, [this](int kbps) {
            if (m_x264)
                g_object_set(m_x264, "bitrate", guint(kbps), nullptr);
        });
    }
    updateCaps();
    return gst_element_link(m_tee, bin) && WebrtcTrack::link(bin, webrtc, rtpCaps, true);
}

void TestPatternSource::setFlowing(bool on) {
    m_flowing = on;
    if (m_videoValve)
        g_object_set(m_videoValve, "drop", !on, nullptr);
}

void TestPatternSource::apply(const Settings &s) {
    m_settings.fps = std::clamp(s.fps, 1, kSourceFps);
    m_settings.scale = std::isfinite(s.scale) ? std::clamp(s.scale, 0.1, 1.0) : 1.0;
    m_settings.q = std::clamp(s.q, 1, 100);
    m_settings.kbps = std::clamp(s.kbps, 100, 50000);
    updateCaps();
}

void TestPatternSource::select(const QString &mode, qint64 id) {
    int next = m_monitor;
    if (mode == QLatin1String("all")) {
        next = 1;
    } else if (mode == QLatin1String("single")) {
        bool known = false;
        for (const auto &m : kMonitors)
            known = known || m.id == id;
        // The notice picture has one display only.
        known = known && (m_notice.isEmpty() || id == 1);
        if (!known)
            return;
        next = int(id);
    } else {
        return;
    }
    if (next == m_monitor)
        return;
    m_monitor = next;
    updateCaps();
}

void TestPatternSource::updateCaps() {
    const auto &m = monitorDef(m_monitor);
    if (m_testSrc && m_notice.isEmpty())
        gst_util_set_object_arg(G_OBJECT(m_testSrc), "pattern", m.pattern);
    m_quality = m_settings.q;
    if (m_rate)
        m_rate->setCeiling(m_settings.kbps);
    if (m_x264)
        g_object_set(m_x264, "bitrate", guint(m_rate ? m_rate->targetKbps() : m_settings.kbps), nullptr);
    if (!m_encCaps || !m_branchPad)
        return;
    GstCaps *caps = branchCaps();
    // Every renegotiation of the branch risks a frame caught half-way; a burst of
    // requests becomes one change.
    if (!m_capsTimer.isActive())
        m_capsTimer.start();
    m_capsPending.reset(caps);
}

void TestPatternSource::applyCaps() {
    if (!m_encCaps)
        return;
    if (!m_capsPending)
        return;
    if (!m_encodedOnce) {
        m_capsTimer.start(); // try again once the first frame is through
        return;
    }
    // Setting equal caps still renegotiates the branch; only a real change is worth that.
    GstCaps *current = nullptr;
    g_object_get(m_encCaps, "caps", &current, nullptr);
    const bool same = current && gst_caps_is_equal(current, m_capsPending.get());
    if (current)
        gst_caps_unref(current);
    if (!same) {
        // Changed only while no frame is inside the branch. A frame already past the scaler
        // would meet the new size at the converter, which cannot scale, and the stream would
        // end as not-negotiated; with the branch empty, the next frame renegotiates each
        // element in order, from the top.
        struct Change {
            GstElement *filter;
            GstCaps *caps;
        };
        auto *change = new Change{GST_ELEMENT(gst_object_ref(m_encCaps)), m_capsPending.release()};
        gst_pad_add_probe(
            m_branchPad, GST_PAD_PROBE_TYPE_IDLE,
            [](GstPad *, GstPadProbeInfo *, gpointer data) {
                auto *c = static_cast<Change *>(data);
                g_object_set(c->filter, "caps", c->caps, nullptr);
                return GST_PAD_PROBE_REMOVE;
            },
            change,
            [](gpointer data) {
                auto *c = static_cast<Change *>(data);
                gst_object_unref(c->filter);
                gst_caps_unref(c->caps);
                delete c;
            });
    }
    m_capsPending.reset();
}

void TestPatternSource::requestStill() {
    if (!m_stillSink || m_stillBusy)
        return;
    GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(m_stillSink), 0);
    if (!sample)
        sample = gst_app_sink_try_pull_preroll(GST_APP_SINK(m_stillSink), 0);
    if (!sample)
        return;
    m_stillBusy = true;
    // The still is the selected display at its own size, unscaled by the viewer's quality.
    const QSize native = monitorSize(m_monitor);
    QThreadPool::globalInstance()->start([self = QPointer<TestPatternSource>(this), sample, native] {
        QByteArray png;
        int w = 0;
        int h = 0;
        GstCaps *rgb = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGBx", "width", G_TYPE_INT,
                                           native.width(), "height", G_TYPE_INT, native.height(), nullptr);
        GError *err = nullptr;
        GstSample *converted = gst_video_convert_sample(sample, rgb, 2 * GST_SECOND, &err);
        gst_caps_unref(rgb);
        g_clear_error(&err);
        if (converted) {
            GstVideoInfo info;
            GstBuffer *buf = gst_sample_get_buffer(converted);
            GstMapInfo map;
            if (gst_video_info_from_caps(&info, gst_sample_get_caps(converted)) &&
                gst_buffer_map(buf, &map, GST_MAP_READ)) {
                w = GST_VIDEO_INFO_WIDTH(&info);
                h = GST_VIDEO_INFO_HEIGHT(&info);
                const QImage img(map.data, w, h, GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), QImage::Format_RGBX8888);
                QBuffer out(&png);
                out.open(QIODevice::WriteOnly);
                img.save(&out, "PNG");
                gst_buffer_unmap(buf, &map);
            }
            gst_sample_unref(converted);
        }
        gst_sample_unref(sample);
        QMetaObject::invokeMethod(
            qApp,
            [self, png, w, h] {
                if (!self)
                    return;
                self->m_stillBusy = false;
                if (!png.isEmpty())
                    Q_EMIT self->stillReady(png, w, h);
            },
            Qt::QueuedConnection);
    });
}

QJsonObject TestPatternSource::linkStats() {
    return m_rate ? m_rate->stats() : QJsonObject();
}

QPair<int, qint64> TestPatternSource::takeCounters() {
    return {m_frames.exchange(0), m_bytes.exchange(0)};
}

// Streaming thread of the JPEG appsink: full-range I420 in, JPEG out.
GstFlowReturn TestPatternSource::onJpegSample(GstElement *sink, gpointer data) {
    auto *self = static_cast<TestPatternSource *>(data);
    GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    if (!sample)
        return GST_FLOW_EOS;
    // Drop frames while the main thread still has two waiting: the picture stays fresh
    // and nothing piles up.
    if (self->m_pendingFrames.load() >= 2) {
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    GstBuffer *buf = gst_sample_get_buffer(sample);
    GstVideoInfo info;
    GstVideoFrame frame;
    if (buf && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
        gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) {
        const QByteArray jpeg = JpegWriter::encode(frame, self->m_quality.load());
        const int w = GST_VIDEO_INFO_WIDTH(&info);
        const int h = GST_VIDEO_INFO_HEIGHT(&info);
        gst_video_frame_unmap(&frame);
        ++self->m_pendingFrames;
        QMetaObject::invokeMethod(
            self,
            [self, jpeg, w, h] {
                --self->m_pendingFrames;
                Q_EMIT self->jpegFrame(jpeg, w, h);
            },
            Qt::QueuedConnection);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

// Streaming thread of the encoder.
GstPadProbeReturn TestPatternSource::countProbe(GstPad *, GstPadProbeInfo *info, gpointer data) {
    auto *self = static_cast<TestPatternSource *>(data);
    if (GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info)) {
        ++self->m_frames;
        self->m_encodedOnce = true;
        self->m_bytes += qint64(gst_buffer_get_size(buf));
    }
    return GST_PAD_PROBE_OK;
}
