#include "capture/VideoEncoder.h"

#include "capture/CaptureFeed.h"
#include "capture/EncodedSink.h"
#include "capture/JpegWriter.h"

#include "protocol/ctrl/QualityRequest.h"

#include <QLoggingCategory>
#include <QThread>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcEncoder, "velmo.capture.encoder")

namespace {
// While the picture moves, a key frame at least this often, so that a viewer that lost
// one recovers on its own (a PLI gets one at once anyway).
constexpr gint64 kKeyIntervalUs = 4 * G_USEC_PER_SEC;
// An unchanged H.264 picture is sent again this often: a near-empty frame that keeps the
// stream alive at almost no cost.
constexpr gint64 kKeepAliveUs = 10 * G_USEC_PER_SEC;
// After the picture stops changing it is sent this many times more: decoders that work
// on several frames at once (FFmpeg's frame threads) show a frame only once later ones
// arrive, and the viewer must see the last change at once.
constexpr int kTrailingRepeats = 3;
// A picture that stopped changing is sent again, up to this many times, while the encoder
// still finds something to add: a frame squeezed by the rate control (a large key frame at
// a low rate comes out grey and blocky) sharpens over the next frames instead of staying
// as it came until the next change on the screen. Each repeat costs only what the rate
// control grants it.
constexpr int kRefineFrames = 90;
// Encoded repeats this small change nothing visible any more: after a few in a row
// (the rate control alone makes one small now and then) the picture has settled.
constexpr int kSettledBytes = 512;
constexpr int kSettledRun = 3;

int even(double v) {
    return std::max(2, int(std::lround(v / 2.0)) * 2);
}
int threads() {
    return std::clamp(QThread::idealThreadCount(), 1, 8);
}
} // namespace

VideoEncoder::VideoEncoder(std::shared_ptr<CaptureFeed> feed, const Key &key, const QString &h264Encoder)
    : m_feed(std::move(feed)), m_key(key), m_h264Encoder(h264Encoder) {
    m_fpsCap = key.fps;
}

VideoEncoder::~VideoEncoder() {
    if (m_feed)
        m_feed->unsubscribe(this);
    if (m_pipeline) {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
    }
    if (m_encSrc)
        gst_object_unref(m_encSrc);
    if (m_enc)
        gst_object_unref(m_enc);
}

QByteArray VideoEncoder::rawCaps(QSize size, int fps) {
    return QByteArrayLiteral("video/x-raw,format=BGRx,width=") + QByteArray::number(size.width()) +
           ",height=" + QByteArray::number(size.height()) + ",framerate=" + QByteArray::number(fps) + "/1";
}

QByteArray VideoEncoder::encoderDescription(const QString &h264Encoder, bool h264, int q, int kbps, int fps) {
    const QByteArray n = QByteArray::number(threads());
    if (!h264) {
        // JPEG is full range: I420 with 0–255 luma, as every JPEG decoder expects; the
        // JpegWriter encodes it at the appsink.
        Q_UNUSED(q);
        return "videoconvertscale n-threads=" + n +
               " ! capsfilter name=outcaps caps=video/x-raw,format=I420,colorimetry=1:4:0:0";
    }
    const QByteArray rate = QByteArray::number(kbps);
    const QByteArray keyInt = QByteArray::number(std::max(1, fps) * 4);
    // The rate control's buffer holds about one frame: no frame (a key frame included) may
    // be much larger than the path carries in a frame's time, or it queues on the path.
    const QByteArray vbv = QByteArray::number(std::clamp(1000 / std::max(1, fps), 16, 200));
    QByteArray enc;
    if (h264Encoder == QLatin1String("vah264enc"))
        enc = "vah264enc name=enc rate-control=cbr target-usage=7 bitrate=" + rate + " key-int-max=" + keyInt;
    else if (h264Encoder == QLatin1String("vaapih264enc"))
        enc = "vaapih264enc name=enc rate-control=cbr tune=low-power bitrate=" + rate + " keyframe-period=" + keyInt;
    else
        // Latency first: no look-ahead, no B-frames, sliced threads; the fastest preset
        // keeps a 1080p desktop within one core.
        enc = "x264enc name=enc tune=zerolatency speed-preset=ultrafast threads=" + n + " bitrate=" + rate +
              " vbv-buf-capacity=" + vbv + " key-int-max=" + keyInt;
    return "videoconvertscale n-threads=" + n + " ! capsfilter name=outcaps caps=video/x-raw,format=I420 ! " + enc +
           " ! video/x-h264,profile=constrained-baseline,stream-format=byte-stream,alignment=au";
}

bool VideoEncoder::start() {
    // The appsrc's name is its streaming thread's name ("venc:src"), one per encoder.
    const QByteArray desc = "appsrc name=venc is-live=true format=time do-timestamp=true block=false max-buffers=2 "
                            "leaky-type=downstream ! " +
                            encoderDescription(m_h264Encoder, m_key.h264, m_key.q, m_key.kbps, m_key.fps) +
                            " ! appsink name=out sync=false emit-signals=true max-buffers=8 drop=true";
    GError *err = nullptr;
    m_pipeline = gst_parse_launch(desc.constData(), &err);
    if (!m_pipeline || err) {
        qCWarning(lcEncoder) << "encoder pipeline:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    m_appsrc = gst_bin_get_by_name(GST_BIN(m_pipeline), "venc");
    m_outCaps = gst_bin_get_by_name(GST_BIN(m_pipeline), "outcaps");
    GstElement *enc = m_key.h264 ? gst_bin_get_by_name(GST_BIN(m_pipeline), "enc") : nullptr;
    GstElement *out = gst_bin_get_by_name(GST_BIN(m_pipeline), "out");
    if (enc) {
        m_encSrc = gst_element_get_static_pad(enc, "src");
        m_enc = enc; // kept for rate changes
        m_bitrate = m_key.kbps;
    }
    g_signal_connect(out, "new-sample", G_CALLBACK(onSample), this);
    GstPad *srcPad = gst_element_get_static_pad(m_appsrc, "src");
    gst_pad_add_probe(srcPad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onCaps, this, nullptr);
    gst_pad_add_probe(srcPad, GST_PAD_PROBE_TYPE_BUFFER, onFrameIn, this, nullptr);
    gst_object_unref(srcPad);
    // The pipeline owns the elements.
    for (GstElement *e : {m_appsrc, m_outCaps, out})
        gst_object_unref(e);
    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return false;
    m_feed->subscribe(this);
    return true;
}

// The appsrc's streaming thread, before a new input size travels on: the output size
// follows, set while no frame is inside the branch (everything below runs on this thread).
GstPadProbeReturn VideoEncoder::onCaps(GstPad *, GstPadProbeInfo *info, gpointer data) {
    auto *self = static_cast<VideoEncoder *>(data);
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    if (!ev || GST_EVENT_TYPE(ev) != GST_EVENT_CAPS)
        return GST_PAD_PROBE_OK;
    GstCaps *caps = nullptr;
    gst_event_parse_caps(ev, &caps);
    int w = 0;
    int h = 0;
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    gst_structure_get_int(s, "width", &w);
    gst_structure_get_int(s, "height", &h);
    const double scale = self->m_key.scalePercent / 100.0;
    GstCaps *out = nullptr;
    g_object_get(self->m_outCaps, "caps", &out, nullptr);
    GstCaps *next = gst_caps_make_writable(out);
    gst_caps_set_simple(next, "width", G_TYPE_INT, even(w * scale), "height", G_TYPE_INT, even(h * scale), nullptr);
    g_object_set(self->m_outCaps, "caps", next, nullptr);
    gst_caps_unref(next);
    return GST_PAD_PROBE_OK;
}

// The appsrc's streaming thread, as a frame starts down the branch: conversion, encoder
// and appsink (onSample) follow on this same thread, so the time until onSample is done
// is what the frame cost.
GstPadProbeReturn VideoEncoder::onFrameIn(GstPad *, GstPadProbeInfo *, gpointer data) {
    static_cast<VideoEncoder *>(data)->m_encodeStartUs = g_get_monotonic_time();
    return GST_PAD_PROBE_OK;
}

int VideoEncoder::sustainableFps() const {
    const int grab = m_feed ? m_feed->grabCostUs() : 0;
    const int encode = m_frameCostUs.load();
    if (grab <= 0 || encode <= 0)
        return 0;
    return int(std::clamp<gint64>(G_USEC_PER_SEC / (gint64(grab) + encode), 1, 1000));
}

int VideoEncoder::maxFps() const {
    const int cap = m_fpsCap.load();
    if (cap <= QualityRequest::steadyFps)
        return cap; // what every host has always done: the viewer's rate as asked
    const int can = sustainableFps();
    return can > 0 ? std::clamp(can, QualityRequest::steadyFps, cap) : cap;
}

void VideoEncoder::addSink(EncodedSink *sink) {
    QByteArray last;
    QSize lastSize;
    {
        std::lock_guard lock(m_mutex);
        if (m_sinks.contains(sink))
            return;
        m_sinks.append(sink);
        last = m_lastJpeg;
        lastSize = m_lastJpegSize;
    }
    if (m_key.h264)
        requestKeyFrame();
    else if (!last.isEmpty())
        sink->jpeg(last, lastSize);
}

void VideoEncoder::removeSink(EncodedSink *sink) {
    std::lock_guard lock(m_mutex);
    m_sinks.removeAll(sink);
    if (m_rates.remove(sink))
        applyRate();
}

void VideoEncoder::setSinkRate(EncodedSink *sink, int kbps, int fps) {
    std::lock_guard lock(m_mutex);
    if (!m_sinks.contains(sink))
        return;
    if (kbps > 0)
        m_rates.insert(sink, {kbps, fps});
    else
        m_rates.remove(sink);
    applyRate();
}

QPair<int, int> VideoEncoder::takeThroughput() {
    return {m_framesIn.exchange(0), m_framesOut.exchange(0)};
}

void VideoEncoder::applyRate() {
    int rate = m_key.kbps;
    int fps = m_key.fps;
    for (const auto &r : std::as_const(m_rates)) {
        rate = std::min(rate, r.first);
        if (r.second > 0)
            fps = std::min(fps, r.second);
    }
    // The feed hands frames at this rate from its next round.
    m_fpsCap = std::max(1, fps);
    if (!m_enc)
        return;
    rate = std::max(rate, 50);
    if (rate == m_bitrate.load())
        return;
    m_bitrate = rate;
    // x264enc and the VA-API encoders take a new bitrate while playing (x264 reconfigures
    // its rate control at the next frame).
    g_object_set(m_enc, "bitrate", guint(rate), nullptr);
}

bool VideoEncoder::hasSinks() const {
    std::lock_guard lock(m_mutex);
    return !m_sinks.isEmpty();
}

void VideoEncoder::requestKeyFrame() {
    m_keyWanted = true;
    if (m_feed)
        m_feed->wake();
}

bool VideoEncoder::wantsRepeat(gint64 nowUs) {
    if (!m_key.h264)
        return false;
    const bool keyDue = m_keyWanted.load() && nowUs - m_lastKeyUs.load() >= m_keySpacingUs.load();
    const bool refining = m_refineLeft > 0 && m_settledRun.load() < kSettledRun;
    return keyDue || m_trailing > 0 || refining || nowUs - m_lastPushUs.load() > kKeepAliveUs;
}

// Capture thread.
void VideoEncoder::consumeFrame(GstBuffer *frame, QSize size, bool repeat) {
    m_trailing = repeat ? std::max(0, m_trailing - 1) : kTrailingRepeats;
    m_refineLeft = repeat ? std::max(0, m_refineLeft - 1) : kRefineFrames;
    if (size != m_inSize) {
        m_inSize = size;
        // The nominal rate, not 0/1: x264 takes a variable rate as "each frame lasts until
        // the next one arrives" and holds every frame back until then (one frame of latency).
        GstCaps *caps = gst_caps_from_string(rawCaps(size, m_key.fps).constData());
        gst_app_src_set_caps(GST_APP_SRC(m_appsrc), caps);
        gst_caps_unref(caps);
    }
    const gint64 now = g_get_monotonic_time();
    if (!repeat)
        m_lastChangeUs = now;
    // Repeats do not count: a periodic key frame would undo what they refined.
    const bool moving = now - m_lastChangeUs < G_USEC_PER_SEC;
    // A request within the spacing of the last key frame waits (it stays wanted).
    const bool spaced = now - m_lastKeyUs.load() >= m_keySpacingUs.load();
    const bool asked = spaced && m_keyWanted.exchange(false);
    if (m_encSrc && (asked || (moving && now - m_lastKeyUs.load() > kKeyIntervalUs))) {
        m_lastKeyUs = now;            // asked for; the encoder's output confirms it
        m_refineLeft = kRefineFrames; // a key frame starts from scratch, for a new viewer too
        gst_pad_send_event(m_encSrc, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    }
    // A copy of the metadata only: the pixels stay shared with the other encoders.
    GstBuffer *copy = gst_buffer_copy(frame);
    GST_BUFFER_PTS(copy) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DTS(copy) = GST_CLOCK_TIME_NONE;
    gst_app_src_push_buffer(GST_APP_SRC(m_appsrc), copy);
    m_lastPushUs = now;
    ++m_framesIn;
}

// The encoder's streaming thread (appsink).
GstFlowReturn VideoEncoder::onSample(GstElement *appsink, gpointer data) {
    auto *self = static_cast<VideoEncoder *>(data);
    GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(appsink));
    if (!sample)
        return GST_FLOW_EOS;
    GstBuffer *buf = gst_sample_get_buffer(sample);
    if (!buf) {
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    ++self->m_framesOut;
    if (self->m_key.h264) {
        const bool small = gst_buffer_get_size(buf) <= gsize(kSettledBytes);
        self->m_settledRun = small ? self->m_settledRun.load() + 1 : 0;
        if (!GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT)) {
            self->m_lastKeyUs = g_get_monotonic_time();
            const double seconds =
                double(gst_buffer_get_size(buf)) * 8.0 / (std::max(50, self->m_bitrate.load()) * 1000.0);
            self->m_keySpacingUs =
                std::clamp<gint64>(gint64(4.0 * seconds * G_USEC_PER_SEC), minKeySpacingUs, maxKeySpacingUs);
        }
        std::lock_guard lock(self->m_mutex);
        for (EncodedSink *s : std::as_const(self->m_sinks))
            s->h264(buf);
    } else {
        GstVideoInfo info;
        GstVideoFrame frame;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) {
            const QByteArray jpeg = JpegWriter::encode(frame, self->m_key.q);
            const int w = GST_VIDEO_INFO_WIDTH(&info);
            const int h = GST_VIDEO_INFO_HEIGHT(&info);
            gst_video_frame_unmap(&frame);
            if (jpeg.isEmpty()) {
                gst_sample_unref(sample);
                return GST_FLOW_OK;
            }
            std::lock_guard lock(self->m_mutex);
            self->m_lastJpeg = jpeg;
            self->m_lastJpegSize = QSize(w, h);
            for (EncodedSink *s : std::as_const(self->m_sinks))
                s->jpeg(jpeg, QSize(w, h));
        }
    }
    gst_sample_unref(sample);
    if (self->m_encodeStartUs >= 0) {
        const int cost = int(std::min<gint64>(g_get_monotonic_time() - self->m_encodeStartUs, G_USEC_PER_SEC));
        const int before = self->m_frameCostUs.load();
        self->m_frameCostUs = before <= 0 ? cost : (7 * before + cost) / 8;
        self->m_encodeStartUs = -1;
    }
    return GST_FLOW_OK;
}
