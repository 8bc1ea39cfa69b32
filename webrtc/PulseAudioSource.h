#pragma once

#include "webrtc/AudioSource.h"

// Sound through the PulseAudio API with GStreamer's pulsesrc (served by PulseAudio or by
// PipeWire's pulse server): "system" records the monitor of the default sink, "mic" the
// default source. Each open is checked in a private pipeline until the first samples
// arrive, so a missing server or device is reported instead of stalling a session.
class PulseAudioSource : public AudioSource {
public:
    // How long an open may wait for the server and the first samples.
    static constexpr int openTimeoutMs = 3000;

    Opened open(const QString &kind) const override;
};
