#pragma once

#include <QByteArray>

#include <gst/gst.h>

// Links a media branch (a bin with a "src" pad giving RTP) into webrtcbin as a
// send-only track pinned to the payload type the viewer offered. With `nack` the track
// answers the viewer's NACKs by retransmission. With `receiveToo` the track also takes
// what the other side sends (sendrecv; answered to a receive-only offer it stays send-only);
// `preferences` are the codec preferences when they say more than `rtpCaps` (an offer's).
class WebrtcTrack {
public:
    static bool link(GstElement *bin, GstElement *webrtc, const QByteArray &rtpCaps, bool nack = false,
                     bool receiveToo = false, const QByteArray &preferences = {});
};
