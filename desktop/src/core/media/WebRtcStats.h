#pragma once

#include <QString>
#include <QtGlobal>

#include <gst/gst.h>

// The figures the viewer shows from webrtcbin's "get-stats" reply and its ICE
// agent: what the RTP streams received and lost, and the kinds of the two
// candidates of the pair in use (which tells a direct path from a TURN relay).
struct WebRtcStats {
    quint64 rtpBytesReceived = 0; // all inbound RTP streams, since the start
    quint64 rtpPacketsReceived = 0;
    qint64 rtpPacketsLost = -1; // -1: no RTP stream reported a figure (data channels only)
    QString localCandidateType; // "host", "srflx", "prflx", "relay"; empty when unknown
    QString remoteCandidateType;

    bool hasPath() const { return !localCandidateType.isEmpty() && !remoteCandidateType.isEmpty(); }
    bool relayed() const {
        return localCandidateType == QLatin1String("relay") || remoteCandidateType == QLatin1String("relay");
    }

    // ":pc" thread (where the get-stats promise replies): reads the reply and asks
    // the ICE agent of the bundle's transport for its selected pair. reply may be null.
    static WebRtcStats read(GstElement *webrtcbin, const GstStructure *reply);
    // The RTP part of a reply alone (tests).
    static void addRtp(const GstStructure *reply, WebRtcStats &into);
};
