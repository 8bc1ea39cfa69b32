#include "network/CongestionController.h"

#include <algorithm>
#include <cmath>

namespace {
// Packets sent within this span are one group (one frame's packets leave in a burst).
constexpr int64_t kGroupSpanUs = 5000;
// Groups in the trend's linear fit; the smoothing of the accumulated delay.
constexpr size_t kTrendWindow = 20;
constexpr double kSmoothing = 0.9;
constexpr double kTrendGain = 4.0;
// The adaptive threshold: its bounds and how fast it follows the trend up and down.
constexpr double kThresholdMin = 6.0;
constexpr double kThresholdMax = 600.0;
constexpr double kThresholdUp = 0.0087;
constexpr double kThresholdDown = 0.039;
// An overuse must last this long (ms) before it counts.
constexpr double kOveruseTimeMs = 10.0;
// Throughput and loss windows.
constexpr int64_t kAckedWindowUs = 500000;
constexpr int64_t kLossWindowUs = 1000000;
constexpr int kLossMinPackets = 20;
// One cut per this interval (a round trip or so: the feedback of a cut takes that long).
constexpr int64_t kCutIntervalUs = 300000;
// After a cut the rate climbs gently while near the rate that overused (for at most this
// long; once the path carries clearly more than that, it has grown: climb fast again).
constexpr int64_t kGentleUs = 10000000;
constexpr double kGentlePerSecond = 1.08;
constexpr double kFastPerSecond = 1.5;
constexpr double kBackoff = 0.85;

double clampRate(double v, int lo, int hi) {
    return std::clamp(v, double(lo), double(std::max(lo, hi)));
}
} // namespace

int CongestionController::frameRateFor(int kbps, int pixels, int ceilingFps) {
    const int ceiling = std::max(1, ceilingFps);
    if (pixels <= 0 || kbps <= 0)
        return ceiling;
    const double fps = double(kbps) * 1000.0 / (double(pixels) * minBitsPerPixel);
    return std::clamp(int(fps), std::min(minFps, ceiling), ceiling);
}

CongestionController::CongestionController(int floorKbps, int ceilingKbps, int startKbps)
    : m_floor(std::max(1, floorKbps)), m_ceiling(std::max(m_floor, ceilingKbps)),
      m_target(clampRate(startKbps, m_floor, m_ceiling)), m_delayTarget(m_target), m_lossTarget(m_ceiling) {}

void CongestionController::setBounds(int floorKbps, int ceilingKbps) {
    const int oldCeiling = m_ceiling;
    m_floor = std::max(1, floorKbps);
    m_ceiling = std::max(m_floor, ceilingKbps);
    // A higher ceiling is only a permission: the rate climbs to it as the path allows.
    if (m_ceiling < oldCeiling || m_target < m_floor) {
        m_delayTarget = clampRate(m_delayTarget, m_floor, m_ceiling);
        m_target = clampRate(m_target, m_floor, m_ceiling);
    }
    m_lossTarget = clampRate(std::max(m_lossTarget, double(m_ceiling)), m_floor, m_ceiling);
}

void CongestionController::onFeedback(const std::vector<Packet> &packets, int64_t nowUs) {
    std::vector<Packet> received;
    received.reserve(packets.size());
    for (const Packet &p : packets) {
        m_reports.emplace_back(nowUs, p.recvUs < 0);
        if (p.recvUs >= 0)
            received.push_back(p);
    }
    std::sort(received.begin(), received.end(), [](const Packet &a, const Packet &b) { return a.sendUs < b.sendUs; });
    for (const Packet &p : received)
        addArrival(p, nowUs);
    m_fresh = m_fresh || !packets.empty();
    refreshAcked();
    // Bounded: a report older than the window goes at the next update anyway.
    while (m_reports.size() > 20000)
        m_reports.pop_front();
}

void CongestionController::addArrival(const Packet &p, int64_t nowUs) {
    m_arrivals.emplace_back(p.recvUs, p.size);
    if (m_arrivals.size() > 20000)
        m_arrivals.pop_front();
    if (!m_haveGroup) {
        m_current = Group{p.sendUs, p.sendUs, p.recvUs, nowUs, p.size};
        m_haveGroup = true;
        return;
    }
    if (p.sendUs < m_current.firstSendUs)
        return; // reordered or reported again: already judged
    if (p.sendUs - m_current.firstSendUs <= kGroupSpanUs) {
        m_current.lastSendUs = std::max(m_current.lastSendUs, p.sendUs);
        m_current.lastRecvUs = std::max(m_current.lastRecvUs, p.recvUs);
        m_current.size += p.size;
        return;
    }
    groupDone(m_current, nowUs);
    m_current = Group{p.sendUs, p.sendUs, p.recvUs, nowUs, p.size};
}

void CongestionController::groupDone(const Group &g, int64_t) {
    if (!m_havePrev) {
        m_prev = g;
        m_havePrev = true;
        return;
    }
    const double sendDeltaMs = double(g.lastSendUs - m_prev.lastSendUs) / 1000.0;
    const double recvDeltaMs = double(g.lastRecvUs - m_prev.lastRecvUs) / 1000.0;
    m_prev = g;
    if (recvDeltaMs < -1000.0 || recvDeltaMs > 10000.0) {
        // The receiver's clock jumped (or the path changed): start over.
        m_history.clear();
        m_accumulated = m_smoothed = 0;
        m_firstArrivalUs = -1;
        m_deltas = 0;
        return;
    }
    m_deltas = std::min(m_deltas + 1, 1000);
    m_accumulated += recvDeltaMs - sendDeltaMs;
    m_smoothed = kSmoothing * m_smoothed + (1.0 - kSmoothing) * m_accumulated;
    if (m_firstArrivalUs < 0)
        m_firstArrivalUs = g.lastRecvUs;
    m_history.emplace_back(double(g.lastRecvUs - m_firstArrivalUs) / 1000.0, m_smoothed);
    if (m_history.size() > kTrendWindow)
        m_history.pop_front();
    if (m_history.size() == kTrendWindow) {
        // Least-squares slope of the smoothed delay over arrival time.
        double mx = 0;
        double my = 0;
        for (const auto &[x, y] : m_history) {
            mx += x;
            my += y;
        }
        mx /= double(m_history.size());
        my /= double(m_history.size());
        double num = 0;
        double den = 0;
        for (const auto &[x, y] : m_history) {
            num += (x - mx) * (y - my);
            den += (x - mx) * (x - mx);
        }
        m_prevTrend = m_modifiedTrend;
        if (den > 0)
            m_modifiedTrend = std::min(m_deltas, 60) * (num / den) * kTrendGain;
    }
    detect(sendDeltaMs, g.lastRecvUs);
}

void CongestionController::detect(double sendDeltaMs, int64_t atUs) {
    if (m_history.size() < kTrendWindow)
        return;
    const double t = m_modifiedTrend;
    if (t > m_threshold) {
        m_overusingMs = m_overusingMs < 0 ? sendDeltaMs / 2 : m_overusingMs + sendDeltaMs;
        ++m_overuseCount;
        if (m_overusingMs > kOveruseTimeMs && m_overuseCount > 1 && t >= m_prevTrend) {
            m_overusingMs = 0;
            m_overuseCount = 0;
            m_signal = Signal::Overuse;
            m_overuseSeen = true;
        }
    } else if (t < -m_threshold) {
        m_overusingMs = -1;
        m_overuseCount = 0;
        m_signal = Signal::Underuse;
    } else {
        m_overusingMs = -1;
        m_overuseCount = 0;
        m_signal = Signal::Normal;
    }
    // The threshold follows the trend (slowly up, faster down), so that a path with a
    // jittery delay does not count as overused all the time, and a competing flow that
    // builds a queue does not starve this one. A spike far above it is not followed.
    if (m_lastThresholdUs < 0)
        m_lastThresholdUs = atUs;
    const double dev = std::fabs(t);
    if (dev <= m_threshold + 15.0) {
        const double k = dev < m_threshold ? kThresholdDown : kThresholdUp;
        const double dtMs = std::clamp(double(atUs - m_lastThresholdUs) / 1000.0, 0.0, 100.0);
        m_threshold = std::clamp(m_threshold + k * (dev - m_threshold) * dtMs, kThresholdMin, kThresholdMax);
    }
    m_lastThresholdUs = atUs;
}

void CongestionController::refreshAcked() {
    if (m_arrivals.empty())
        return;
    int64_t newest = INT64_MIN;
    for (const auto &a : m_arrivals)
        newest = std::max(newest, a.first);
    while (!m_arrivals.empty() && m_arrivals.front().first < newest - kAckedWindowUs)
        m_arrivals.pop_front();
    int64_t bytes = 0;
    for (const auto &a : m_arrivals)
        if (a.first >= newest - kAckedWindowUs)
            bytes += a.second;
    m_acked = double(bytes) * 8.0 / (double(kAckedWindowUs) / 1000.0); // bits per ms = kbit/s
}

void CongestionController::refreshLoss(int64_t nowUs) {
    while (!m_reports.empty() && m_reports.front().first < nowUs - kLossWindowUs)
        m_reports.pop_front();
    int lost = 0;
    for (const auto &r : m_reports)
        lost += r.second ? 1 : 0;
    m_loss = int(m_reports.size()) >= kLossMinPackets ? double(lost) / double(m_reports.size()) : 0.0;
}

int CongestionController::update(int64_t nowUs) {
    const double dt = m_lastUpdateUs < 0 ? 0.0 : std::clamp(double(nowUs - m_lastUpdateUs) / 1e6, 0.0, 1.0);
    m_lastUpdateUs = nowUs;
    refreshLoss(nowUs);

    // Delay: a queue is building → back to 85 % of what got through; quiet → climb.
    if (m_overuseSeen || m_signal == Signal::Overuse) {
        if (nowUs - m_lastDecreaseUs >= kCutIntervalUs) {
            const double base = m_acked > 0 ? std::min(m_acked, m_delayTarget) : m_delayTarget;
            m_delayTarget = std::min(m_delayTarget, kBackoff * base);
            m_lastDecreaseKbps = base;
            m_lastDecreaseUs = nowUs;
        }
        m_state = State::Hold;
    } else if (m_signal == Signal::Underuse) {
        // The queue drains: wait until it is empty before climbing.
        m_state = State::Hold;
    } else if (m_fresh) {
        if (m_state == State::Hold)
            m_state = State::Increase;
        const bool gentle = nowUs - m_lastDecreaseUs < kGentleUs && m_acked < 1.15 * m_lastDecreaseKbps;
        const double grown = m_delayTarget * std::pow(gentle ? kGentlePerSecond : kFastPerSecond, dt) + 10.0 * dt;
        // Never far beyond what the path has shown it carries: a sender that has little
        // to send (a still desktop) must not climb to a rate it never tried.
        const double cap = m_acked > 0 ? 1.5 * m_acked + 100.0 : grown;
        m_delayTarget = std::max(m_delayTarget, std::min(grown, cap));
    }

    // Loss: heavy loss cuts by half the lost fraction; light loss lets the bound go up.
    if (m_loss > 0.10) {
        if (nowUs - m_lastLossCutUs >= kCutIntervalUs) {
            m_lossTarget = std::min(m_lossTarget, m_target) * (1.0 - 0.5 * m_loss);
            m_lastLossCutUs = nowUs;
        }
    } else if (m_loss < 0.02 && m_fresh) {
        m_lossTarget = m_lossTarget * std::pow(kFastPerSecond, dt) + 10.0 * dt;
    }

    m_delayTarget = clampRate(m_delayTarget, m_floor, m_ceiling);
    m_lossTarget = clampRate(m_lossTarget, m_floor, m_ceiling);
    m_target = std::min(m_delayTarget, m_lossTarget);
    m_fresh = false;
    m_overuseSeen = false;
    return int(m_target);
}

CongestionController::Limit CongestionController::limit() const {
    if (m_target >= m_ceiling - 1)
        return Limit::None;
    if (m_lossTarget < m_delayTarget)
        return Limit::Loss;
    // Below the ceiling without a queue on the path for a long while: the sender had
    // little to send (the rate climbs no further than what got through shows, and a fast
    // link never pushes back). Nothing on the path holds the picture back then.
    if (m_lastUpdateUs - m_lastDecreaseUs > kGentleUs)
        return Limit::None;
    return Limit::Delay;
}
