#pragma once

#include "network/CongestionController.h"

#include <gst/gst.h>

#include <vector>

// Reads the packets of one transport-wide feedback report as webrtcbin's RTP session
// hands it upstream ("RTPTWCCPackets": a "packets" list of "RTPTWCCPacket" structures
// with local-ts, remote-ts, size and lost). Packets this end did not send (no local-ts)
// are left out.
class TwccReport {
public:
    static std::vector<CongestionController::Packet> read(const GstStructure *report);
};
