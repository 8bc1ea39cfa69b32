#pragma once

#include "audio/VirtualMicrophone.h"

#include <QString>

// The virtual microphone on the PulseAudio API (PulseAudio, or PipeWire's pulse server):
// a null sink "velmo_mic_<id>" the voice is played into, and its monitor remapped as a
// source "velmo_mic_<id>_in" described as "Velmo Remote マイク", which desktops list
// among the microphones (a bare monitor is often hidden). Both modules carry the agent's
// process id, so that a later agent removes only what a dead one left.
class PulseVirtualMicrophone : public VirtualMicrophone {
public:
    static constexpr const char *prefix = "velmo_mic_";
    // How long one call may wait for the sound server.
    static constexpr int timeoutMs = 3000;

    Result<Device> create(const QString &id) const override;
    void remove(const QString &id) const override;
    int removeLeftovers() const override;

    // The sink and source names of a session's device.
    static QString sinkName(const QString &id);
    static QString sourceName(const QString &id);
};
