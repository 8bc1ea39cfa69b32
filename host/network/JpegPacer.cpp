#include "network/JpegPacer.h"

#include <algorithm>
#include <array>

namespace {
// Softer first (JPEG quality costs less than resolution), then smaller.
constexpr std::array<JpegPacer::Step, 8> kLadder{{
    {1.0, 100},
    {1.0, 50},
    {0.75, 50},
    {0.75, 35},
    {0.5, 40},
    {0.5, 25},
    {0.35, 25},
    {0.25, 20},
}};
// A step down needs this long at the step before; a step up longer (a step up that does
// not fit costs frames).
constexpr int64_t kDownHoldUs = 1000000;
constexpr int64_t kUpHoldUs = 3000000;
constexpr double kDownBelow = 0.8; // of the goal frame rate
constexpr double kUpAbove = 2.5;
// The smoothing of the rate and frame-size measurements.
constexpr double kKeep = 0.7;
} // namespace

JpegPacer::JpegPacer(int goalFps) : m_goalFps(std::max(1, goalFps)) {}

void JpegPacer::setGoalFps(int fps) {
    m_goalFps = std::max(1, fps);
}

int JpegPacer::steps() {
    return int(kLadder.size());
}

JpegPacer::Step JpegPacer::stepValues(int viewerQ) const {
    const Step &s = kLadder[size_t(m_step)];
    return {s.scale, std::min(viewerQ, s.q)};
}

void JpegPacer::sent(uint32_t seq, int bytes, int64_t nowUs) {
    m_inFlight.push_back({seq, bytes, nowUs});
    // A viewer that never acknowledges (one that predates the acknowledgement) must not
    // stop the picture: without acknowledgements nothing is held back, and the list stays short.
    if (!m_acking)
        while (m_inFlight.size() > std::size_t(maxInFlight) - 1)
            m_inFlight.pop_front();
    m_frameBytes = m_frameBytes <= 0 ? bytes : kKeep * m_frameBytes + (1 - kKeep) * bytes;
}

void JpegPacer::acked(uint32_t seq, int64_t nowUs) {
    m_acking = true;
    int64_t bytes = 0;
    int64_t firstSent = -1;
    while (!m_inFlight.empty() && int32_t(seq - m_inFlight.front().seq) >= 0) {
        if (firstSent < 0)
            firstSent = m_inFlight.front().sentUs;
        bytes += m_inFlight.front().bytes;
        m_inFlight.pop_front();
    }
    if (bytes > 0) {
        // The path was busy with these frames from when the first left (or the previous
        // acknowledgement came, when it was still busy then) until now.
        const int64_t busyFrom = std::max(firstSent, m_lastAckUs);
        const double seconds = std::max(0.001, double(nowUs - busyFrom) / 1e6);
        const double sample = double(bytes) / seconds;
        m_rate = m_acks == 0 ? sample : kKeep * m_rate + (1 - kKeep) * sample;
        ++m_acks;
    }
    m_lastAckUs = nowUs;
}

void JpegPacer::forget(uint32_t seq) {
    for (auto it = m_inFlight.begin(); it != m_inFlight.end(); ++it)
        if (it->seq == seq) {
            m_inFlight.erase(it);
            return;
        }
}

int JpegPacer::update(int64_t nowUs) {
    if (m_lastStepUs < 0)
        m_lastStepUs = nowUs;
    if (!m_acking || m_acks < 3 || m_frameBytes <= 0)
        return m_step;
    const double fps = m_rate / m_frameBytes;
    const int64_t held = nowUs - m_lastStepUs;
    if (fps < m_goalFps * kDownBelow && m_step + 1 < steps() && held >= kDownHoldUs) {
        ++m_step;
        m_lastStepUs = nowUs;
    } else if (fps > m_goalFps * kUpAbove && m_step > 0 && held >= kUpHoldUs) {
        --m_step;
        m_lastStepUs = nowUs;
    }
    return m_step;
}
