#include "media/WebRtcStats.h"

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
    // webrtcbin reports no candidate pairs for data-only connections; the ICE agent
    // knows the pair in use on the bundle's transport either way.
    GObject *sctp = nullptr;
    GObject *dtls = nullptr;
    GObject *iceTransport = nullptr;
    GstWebRTCICEStream *stream = nullptr;
    GstWebRTCICE *ice = nullptr;
    g_object_get(webrtcbin, "sctp-transport", &sctp, nullptr);
    if (sctp)
        g_object_get(sctp, "transport", &dtls, nullptr);
    if (dtls)
        g_object_get(dtls, "transport", &iceTransport, nullptr);
    if (iceTransport && g_object_class_find_property(G_OBJECT_GET_CLASS(iceTransport), "stream"))
        g_object_get(iceTransport, "stream", &stream, nullptr);
    g_object_get(webrtcbin, "ice-agent", &ice, nullptr);
    GstWebRTCICECandidateStats *local = nullptr;
    GstWebRTCICECandidateStats *remote = nullptr;
    if (ice && stream && gst_webrtc_ice_get_selected_pair(ice, stream, &local, &remote) && local && remote) {
        out.localCandidateType = QString::fromUtf8(local->type);
        out.remoteCandidateType = QString::fromUtf8(remote->type);
    }
    if (local)
        gst_webrtc_ice_candidate_stats_free(local);
    if (remote)
        gst_webrtc_ice_candidate_stats_free(remote);
    for (gpointer o : {static_cast<gpointer>(ice), static_cast<gpointer>(stream), static_cast<gpointer>(iceTransport),
                       static_cast<gpointer>(dtls), static_cast<gpointer>(sctp)})
        if (o)
            g_object_unref(o);
    return out;
}
