#include "network/LinkRate.h"

#include "network/TwccReport.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcLinkRate, "velmo.network.rate")

namespace {
// The rate a session starts at before any feedback: low enough that a slow path does not
// drown the first key frame, high enough to reach a fast path's ceiling in a second or two.
constexpr int kStartKbps = 1500;
} // namespace

LinkRate::LinkRate(int ceilingKbps, QObject *parent)
    : QObject(parent), m_cc(floorKbps, ceilingKbps, std::min(ceilingKbps, kStartKbps)) {
    m_published = m_cc.targetKbps();
    m_timer.setInterval(tickMs);
    connect(&m_timer, &QTimer::timeout, this, &LinkRate::tick);
}

LinkRate::~LinkRate() {
    if (m_pad) {
        if (m_probe)
            gst_pad_remove_probe(m_pad, m_probe);
        gst_object_unref(m_pad);
    }
    if (m_webrtc)
        gst_object_unref(m_webrtc);
}

QByteArray LinkRate::h264Caps(int pt, int twccExt) {
    QByteArray caps =
        "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=" + QByteArray::number(pt);
    if (twccExt > 0)
        caps += ",extmap-" + QByteArray::number(twccExt) + "=(string)\"" + twccUri + "\"";
    return caps;
}

void LinkRate::attach(GstPad *rtpSrc, GstElement *webrtc) {
    if (m_pad || !rtpSrc)
        return;
    m_pad = GST_PAD(gst_object_ref(rtpSrc));
    m_webrtc = webrtc ? GST_ELEMENT(gst_object_ref(webrtc)) : nullptr;
    m_probe = gst_pad_add_probe(m_pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onUpstream, this, nullptr);
}

void LinkRate::setCeiling(int kbps) {
    m_cc.setBounds(std::min(floorKbps, kbps), kbps);
    tick();
}

void LinkRate::start() {
    m_timer.start();
}

void LinkRate::stop() {
    m_timer.stop();
}

// The thread that receives the viewer's RTCP (the ICE receive thread), through the RTP
// session and webrtcbin's funnel. The pipeline stops before this object goes.
GstPadProbeReturn LinkRate::onUpstream(GstPad *, GstPadProbeInfo *info, gpointer data) {
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    if (!ev || GST_EVENT_TYPE(ev) != GST_EVENT_CUSTOM_UPSTREAM)
        return GST_PAD_PROBE_OK;
    const GstStructure *s = gst_event_get_structure(ev);
    if (!s || !gst_structure_has_name(s, "RTPTWCCPackets"))
        return GST_PAD_PROBE_OK;
    auto packets = TwccReport::read(s);
    auto *self = static_cast<LinkRate *>(data);
    QMetaObject::invokeMethod(
        self,
        [self, packets = std::move(packets)] {
            ++self->m_reports;
            self->m_cc.onFeedback(packets, g_get_monotonic_time());
        },
        Qt::QueuedConnection);
    // Nothing upstream of the payloader wants it.
    return GST_PAD_PROBE_DROP;
}

void LinkRate::tick() {
    m_cc.update(g_get_monotonic_time());
    const int target = m_cc.targetKbps();
    // Every 5th tick: the round-trip time (one receiver report a second or so).
    if (++m_ticks % 5 == 0)
        readRtt();
    // Small moves are not worth an encoder reconfiguration.
    if (std::abs(target - m_published) * 50 >= m_published || target == m_cc.ceilingKbps() ||
        target == m_cc.floorKbps()) {
        if (target != m_published) {
            m_published = target;
            qCDebug(lcLinkRate) << "target" << target << "acked" << m_cc.ackedKbps() << "loss" << m_cc.loss() << "trend"
                                << m_cc.trend() << "/" << m_cc.threshold();
            Q_EMIT targetChanged(target);
        }
    }
    // Only a path that answers is judged: without feedback the target says nothing of it.
    if (hasFeedback()) {
        const int before = m_stepper.step();
        // While the path pushes back (a queue or loss lately) the target may sit above what
        // it carries (held up by the floor): the way back up is judged by what got through.
        const bool pushedBack = m_cc.limit() != CongestionController::Limit::None;
        const int carried = pushedBack ? std::min(target, m_cc.ackedKbps()) : target;
        if (m_stepper.update(target, carried, m_pixels, g_get_monotonic_time()) != before) {
            qCDebug(lcLinkRate) << "scale step" << m_stepper.step() << "factor" << m_stepper.factor() << "target"
                                << target << "carried" << carried << "pixels" << m_pixels;
            Q_EMIT scaleChanged(m_stepper.factor());
        }
    }
}

void LinkRate::readRtt() {
    if (!m_webrtc)
        return;
    GstElement *rtpbin = gst_bin_get_by_name(GST_BIN(m_webrtc), "rtpbin");
    if (!rtpbin)
        return;
    GstElement *session = nullptr;
    g_signal_emit_by_name(rtpbin, "get-session", 0u, &session);
    gst_object_unref(rtpbin);
    if (!session)
        return;
    GstStructure *stats = nullptr;
    g_object_get(session, "stats", &stats, nullptr);
    gst_object_unref(session);
    if (!stats)
        return;
    // Our own sending sources carry what the viewer's receiver reports said of them.
    const GValue *list = gst_structure_get_value(stats, "source-stats");
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (list && G_VALUE_HOLDS(list, g_value_array_get_type())) {
        auto *arr = static_cast<GValueArray *>(g_value_get_boxed(list));
        for (guint i = 0; arr && i < arr->n_values; ++i) {
            const GValue *v = g_value_array_get_nth(arr, i);
            if (!GST_VALUE_HOLDS_STRUCTURE(v))
                continue;
            const GstStructure *src = gst_value_get_structure(v);
            gboolean internal = FALSE;
            gboolean sender = FALSE;
            gboolean haveRb = FALSE;
            guint rtt = 0;
            gst_structure_get_boolean(src, "internal", &internal);
            gst_structure_get_boolean(src, "is-sender", &sender);
            gst_structure_get_boolean(src, "have-rb", &haveRb);
            if (internal && sender && haveRb && gst_structure_get_uint(src, "rb-round-trip", &rtt) && rtt > 0) {
                // 16.16 fixed-point seconds.
                m_rttMs = int(std::lround(double(rtt) * 1000.0 / 65536.0));
                break;
            }
        }
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    gst_structure_free(stats);
}

QJsonObject LinkRate::stats() const {
    QJsonObject o{{"est", m_cc.ackedKbps()},
                  {"target", m_cc.targetKbps()},
                  {"loss", std::lround(m_cc.loss() * 1000.0) / 10.0},
                  {"rtt", m_rttMs}};
    if (m_stepper.step() > 0)
        o.insert("scale", m_stepper.factor());
    if (hasFeedback() && (m_cc.limit() != CongestionController::Limit::None || m_stepper.step() > 0))
        o.insert("limit", QStringLiteral("回線"));
    return o;
}
