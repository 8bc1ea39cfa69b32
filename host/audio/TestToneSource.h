#pragma once

#include <gst/gst.h>

// The sound a device sends for now: a quiet 440 Hz tone as Opus on the audio track.
// Lives in the session's pipeline; main thread.
class TestToneSource {
public:
    explicit TestToneSource(GstElement *pipeline) : m_pipeline(pipeline) {}

    bool addOpus(GstElement *webrtc, int pt);
    bool hasAudio() const { return m_valve != nullptr; }
    // Sound passes only while flowing (the viewer has proven the passcode) and switched on.
    void setFlowing(bool on);
    void setAudioOn(bool on);

private:
    void update();

    GstElement *m_pipeline = nullptr; // not owned
    GstElement *m_valve = nullptr;    // owned by the pipeline
    bool m_flowing = false;
    bool m_on = true;
};
