#include "webrtc/WebrtcTrack.h"

#include <gst/webrtc/webrtc.h>

bool WebrtcTrack::link(GstElement *bin, GstElement *webrtc, const QByteArray &rtpCaps, bool nack, bool receiveToo,
                       const QByteArray &preferences) {
    GstPad *src = gst_element_get_static_pad(bin, "src");
    GstPad *sink = gst_element_request_pad_simple(webrtc, "sink_%u");
    bool ok = src && sink && gst_pad_link(src, sink) == GST_PAD_LINK_OK;
    if (ok) {
        // Pin the answer to the payload type the viewer offered.
        GstWebRTCRTPTransceiver *trans = nullptr;
        g_object_get(sink, "transceiver", &trans, nullptr);
        if (trans) {
            GstCaps *caps = gst_caps_from_string((preferences.isEmpty() ? rtpCaps : preferences).constData());
            g_object_set(trans, "codec-preferences", caps, "direction",
                         receiveToo ? GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDRECV
                                    : GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                         nullptr);
            if (nack)
                g_object_set(trans, "do-nack", TRUE, nullptr);
            gst_caps_unref(caps);
            gst_object_unref(trans);
        }
    }
    if (src)
        gst_object_unref(src);
    if (sink)
        gst_object_unref(sink);
    return ok;
}
