#pragma once

#include <QByteArray>

#include <gst/gst.h>

// Links a media branch (a bin with a "src" pad giving RTP) into webrtcbin as a
// send-only track pinned to the payload type the viewer offered. With `nack` the track
// answers the viewer's NACKs by retransmission.
class WebrtcTrack {
public:
    static bool link(GstElement *bin, GstElement *webrtc, const QByteArray &rtpCaps, bool nack = false);
};
