#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

// Paces JPEG frames on the data channel by the viewer's acknowledgements: at most
// `maxInFlight` frames are on their way at once (a newer picture replaces the ones that
// could not be sent, instead of queueing behind them), the delivery rate is measured
// from the acknowledgements, and a step on a ladder of (scale, quality) is chosen so
// that frames come at least at the frame rate the viewer's preset favours. Step 0 is
// the viewer's own scale and quality; higher steps are smaller, softer pictures. A still
// screen measures nothing: then the pacer tries the next larger step now and then (the
// caller sends the picture again at it), waiting longer each time such a try proves too
// much, so a picture made small by a passing slowdown does not stay small.
// Pure arithmetic on the values handed in; the caller owns threads and clocks.
class JpegPacer {
public:
    struct Step {
        double scale; // times the viewer's scale
        int q;        // at most the viewer's quality
    };
    static constexpr int maxInFlight = 2;

    // `goalFps`: the frame rate the picture should keep (lower steps are taken below it).
    explicit JpegPacer(int goalFps = 10);

    void setGoalFps(int fps);
    // A viewer that has not acknowledged anything this long after the first frame does
    // not know the acknowledgement (an older one): its frames are not held back.
    static constexpr int64_t noAckLimitUs = 3000000;

    // May a frame go now? False while maxInFlight frames wait for their acknowledgement.
    bool canSend(int64_t nowUs);
    void sent(uint32_t seq, int bytes, int64_t nowUs);
    // The viewer has the frame `seq` (and every one before it).
    void acked(uint32_t seq, int64_t nowUs);
    // A frame that will never be acknowledged (the channel refused it): forget it.
    void forget(uint32_t seq);
    bool acking() const { return m_acking; }
    // Every ~500 ms: moves the step and returns it.
    int update(int64_t nowUs);
    int step() const { return m_step; }
    Step stepValues(int viewerQ) const;
    static int steps();
    // Bytes per second delivered (0 before the first acknowledgement).
    double rate() const { return m_rate; }
    // Average size of the recent frames, bytes.
    double frameBytes() const { return m_frameBytes; }

private:
    void changedStep(int64_t nowUs, bool probe);

    struct InFlight {
        uint32_t seq;
        int bytes;
        int64_t sentUs;
    };
    std::deque<InFlight> m_inFlight;
    bool m_acking = false;
    bool m_unpaced = false; // the viewer never acknowledged
    int64_t m_firstSentUs = -1;
    int m_goalFps;
    int m_step = 0;
    double m_rate = 0;
    double m_frameBytes = 0;
    int64_t m_lastAckUs = -1;
    int64_t m_windowUs = 0;
    int64_t m_windowBytes = 0;
    int64_t m_lastStepUs = -1;
    int m_acks = 0;
    int64_t m_lastSentUs = -1;
    int m_samplesSinceStep = 0;
    bool m_probing = false;
    int64_t m_probeWaitUs = 3000000;
};
