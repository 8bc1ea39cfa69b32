#pragma once

#include <QString>

#include <gst/gst.h>

#include <optional>

// The candidate pair in use on a webrtcbin's bundle transport, as its ICE agent reports
// it. webrtcbin's statistics carry no candidate pairs for data-only connections, so
// both the viewer and the agent ask the agent directly. Any thread.
struct SelectedPair {
    QString localType; // "host", "srflx", "prflx", "relay"
    QString remoteType;
    QString remoteIp;
    QString localIp;

    bool relayed() const { return localType == QLatin1String("relay") || remoteType == QLatin1String("relay"); }

    // None before ICE has chosen a pair (or without a transport yet).
    static std::optional<SelectedPair> read(GstElement *webrtcbin);
};
