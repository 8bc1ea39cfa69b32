#include "webrtc/SelectedPair.h"

#include <gst/webrtc/webrtc.h>

std::optional<SelectedPair> SelectedPair::read(GstElement *webrtcbin) {
    if (!webrtcbin)
        return std::nullopt;
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
    std::optional<SelectedPair> out;
    if (ice && stream && gst_webrtc_ice_get_selected_pair(ice, stream, &local, &remote) && local && remote)
        out = SelectedPair{QString::fromUtf8(local->type), QString::fromUtf8(remote->type),
                           QString::fromUtf8(remote->ipaddr), QString::fromUtf8(local->ipaddr)};
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
