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
// A still screen sends nothing, so nothing is measured: after this long with nothing in
// flight a smaller step is tried again, one at a time; a probe that proves too much for
// the path doubles the wait for the next one, up to kProbeMaxUs.
constexpr int64_t kIdleUs = 1000000;
constexpr int64_t kProbeMaxUs = 60000000;
// The smoothing of the rate and frame-size measurements.
constexpr double kKeep = 0.5;
// The busy time a rate measurement spans.
constexpr int64_t kRateWindowUs = 1000000;
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

bool JpegPacer::canSend(int64_t nowUs) {
    if (m_unpaced)
        return true;
    if (!m_acking && m_firstSentUs >= 0 && nowUs - m_firstSentUs > noAckLimitUs) {
        m_unpaced = true;
        m_inFlight.clear();
        return true;
    }
    return m_inFlight.size() < std::size_t(maxInFlight);
}

void JpegPacer::sent(uint32_t seq, int bytes, int64_t nowUs) {
    if (m_firstSentUs < 0)
        m_firstSentUs = nowUs;
    if (!m_unpaced)
        m_inFlight.push_back({seq, bytes, nowUs});
    m_lastSentUs = nowUs;
    m_frameBytes = m_frameBytes <= 0 ? bytes : kKeep * m_frameBytes + (1 - kKeep) * bytes;
}

void JpegPacer::acked(uint32_t seq, int64_t nowUs) {
    m_acking = true;
    m_unpaced = false; // late, but it does acknowledge
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
        // acknowledgement came, when it was still busy then) until now. Summed over a
        // second of busy time: acknowledgements that come in a bunch (they queue on the
        // way back too) must not read as a fast path.
        const int64_t busyFrom = std::max(firstSent, m_lastAckUs);
        m_windowUs += std::max<int64_t>(0, nowUs - busyFrom);
        m_windowBytes += bytes;
        if (m_windowUs >= kRateWindowUs || (m_rate <= 0 && m_windowUs >= kRateWindowUs / 3)) {
            const double sample = double(m_windowBytes) * 1e6 / double(std::max<int64_t>(1, m_windowUs));
            m_rate = m_rate <= 0 ? sample : kKeep * m_rate + (1 - kKeep) * sample;
            ++m_samplesSinceStep;
            if (m_windowUs >= kRateWindowUs) {
                m_windowUs = 0;
                m_windowBytes = 0;
            }
        }
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
    // No measurement yet (acknowledgements have not spanned enough busy time): nothing
    // says the path is slow.
    if (!m_acking || m_acks < 3 || m_frameBytes <= 0 || m_rate <= 0)
        return m_step;
    const double fps = m_rate / m_frameBytes;
    const int64_t held = nowUs - m_lastStepUs;
    // Down only on a rate measured since the last change: the one from before a probe
    // says nothing about the step the probe tries.
    if (fps < m_goalFps * kDownBelow && m_step + 1 < steps() && held >= kDownHoldUs && m_samplesSinceStep > 0) {
        // Far below: two steps at once (each step roughly halves a frame or less).
        m_step = std::min(steps() - 1, m_step + (fps < m_goalFps * kDownBelow / 3 ? 2 : 1));
        if (m_probing)
            m_probeWaitUs = std::min(kProbeMaxUs, m_probeWaitUs * 2);
        changedStep(nowUs, false);
    } else if (fps > m_goalFps * kUpAbove && m_step > 0 && held >= kUpHoldUs) {
        --m_step;
        m_probeWaitUs = kUpHoldUs;
        changedStep(nowUs, false);
    } else if (m_step > 0 && m_inFlight.empty() && m_lastSentUs >= 0 && nowUs - m_lastSentUs >= kIdleUs &&
               held >= m_probeWaitUs) {
        --m_step;
        changedStep(nowUs, true);
    }
    return m_step;
}

void JpegPacer::changedStep(int64_t nowUs, bool probe) {
    m_lastStepUs = nowUs;
    m_samplesSinceStep = 0;
    m_probing = probe;
}
