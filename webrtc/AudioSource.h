#pragma once

#include <QString>

#include <gst/gst.h>

// Where the sound sent to viewers comes from. A source makes the element that produces
// raw audio for one session; AudioTrack encodes it. X11 and Wayland desktops both reach
// their sound server through the PulseAudio API today (PulseAudio, or PipeWire's pulse
// server); a PipeWire-native source would be a second implementation of this interface.
class AudioSource {
public:
    struct Opened {
        GstElement *element = nullptr; // one reference for the caller, state NULL; null on failure
        QString device;                // what is captured, for the status ("" when unknown)
        QString error;                 // why nothing is captured (Japanese, for the status)
    };

    virtual ~AudioSource() = default;
    // `kind` is "system" (what the computer plays) or "mic" (the default input). Runs on a
    // worker thread and may wait a little for the sound server; never on the main thread.
    virtual Opened open(const QString &kind) const = 0;
};
