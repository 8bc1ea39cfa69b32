#include "media/WebRtcStats.h"

#include "webrtc/SelectedPair.h"

#include <gst/webrtc/webrtc.h>

namespace {
// One entry of the reply: a structure-valued field.
gboolean addInbound(GQuark, const GValue *value, gpointer data) {
    auto *into = static_cast<WebRtcStats *>(data);
    if (!GST_VALUE_HOLDS_STRUCTURE(value))
        return TRUE;
    const GstStructure *entry = gst_value_get_structure(value);
    GstWebRTCStatsType type{};
    if (!gst_structure_get(entry, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) ||
        type != GST_WEBRTC_STATS_INBOUND_RTP)
        return TRUE;
    guint64 bytes = 0;
    guint64 packets = 0;
    if (gst_structure_get_uint64(entry, "bytes-received", &bytes))
        into->rtpBytesReceived += bytes;
    if (gst_structure_get_uint64(entry, "packets-received", &packets))
        into->rtpPacketsReceived += packets;
    // The loss count lives in the RTP source's own statistics; -1 there means "not yet known".
    const GstStructure *source = nullptr;
    if (const GValue *v = gst_structure_get_value(entry, "gst-rtpsource-stats"); v && GST_VALUE_HOLDS_STRUCTURE(v))
        source = gst_value_get_structure(v);
    gint lost = -1;
    if (source && gst_structure_get_int(source, "packets-lost", &lost) && lost >= 0)
        into->rtpPacketsLost = std::max<qint64>(into->rtpPacketsLost, 0) + lost;
    else if (into->rtpPacketsLost < 0)
        into->rtpPacketsLost = 0; // a stream is there; nothing counted as lost so far
    return TRUE;
}
} // namespace

void WebRtcStats::addRtp(const GstStructure *reply, WebRtcStats &into) {
    if (reply)
        gst_structure_foreach(reply, addInbound, &into);
}

WebRtcStats WebRtcStats::read(GstElement *webrtcbin, const GstStructure *reply) {
    WebRtcStats out;
    addRtp(reply, out);
    if (!webrtcbin)
        return out;
    if (const std::optional<SelectedPair> pair = SelectedPair::read(webrtcbin)) {
        out.localCandidateType = pair->localType;
        out.remoteCandidateType = pair->remoteType;
    }
    return out;
}
