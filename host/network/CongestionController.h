#pragma once

#include <cstdint>
#include <deque>
#include <vector>

// The rate a viewer's path carries, estimated from transport-wide feedback the way
// Google Congestion Control does: packets sent close together form groups, the growth of
// the one-way delay between groups (arrival spacing minus send spacing) is smoothed into
// a trend, and a trend above an adaptive threshold means a queue is building on the path
// (overuse). The rate then falls to 85 % of what the receiver confirmed; while the path
// is quiet it climbs again, quickly while far from the rate that last overused it,
// gently near it. Loss reported in the feedback bounds the rate too (over 10 %: down by
// half the loss; under 2 %: up). The result stays between a floor and the viewer's
// ceiling. Pure arithmetic on the values handed in: the caller owns threads and clocks.
class CongestionController {
public:
    struct Packet {
        int64_t sendUs = 0;  // when it left, on the sender's clock
        int64_t recvUs = -1; // when it arrived, on the receiver's clock; negative: lost
        int size = 0;        // bytes on the wire (payload and RTP header)
    };
    enum class Signal { Normal, Overuse, Underuse };
    // What holds the target below the ceiling: nothing (the ceiling, or a sender with
    // little to send on a path that has not built a queue for a while), a queue, loss.
    enum class Limit { None, Delay, Loss };

    CongestionController(int floorKbps, int ceilingKbps, int startKbps);

    // Bits per pixel below which x264 (ultrafast, a moving desktop) gives mostly blocks,
    // and the fewest frames a second worth lowering the rate to before the picture gets
    // smaller instead (ScaleStepper).
    static constexpr double minBitsPerPixel = 0.015;
    static constexpr int minFps = 5;

    // The frame rate to encode `pixels` per frame at `kbps`: the viewer's rate while each
    // frame gets enough bits to look like a picture, fewer frames (not below minFps) when not.
    static int frameRateFor(int kbps, int pixels, int ceilingFps);

    // A new ceiling (the viewer's choice) or floor; the target is clamped at once.
    void setBounds(int floorKbps, int ceilingKbps);
    // One feedback report: the packets it covers, in any order.
    void onFeedback(const std::vector<Packet> &packets, int64_t nowUs);
    // Every 100–250 ms: moves the target and returns it.
    int update(int64_t nowUs);

    int targetKbps() const { return int(m_target); }
    int floorKbps() const { return m_floor; }
    int ceilingKbps() const { return m_ceiling; }
    // What the receiver confirmed over the last half second (0 before any feedback).
    int ackedKbps() const { return int(m_acked); }
    // Packets lost of those reported over the last second, 0–1.
    double loss() const { return m_loss; }
    Signal signal() const { return m_signal; }
    Limit limit() const;
    // The modified delay trend and the threshold it is compared with, in ms.
    double trend() const { return m_modifiedTrend; }
    double threshold() const { return m_threshold; }

private:
    struct Group {
        int64_t firstSendUs = 0;
        int64_t lastSendUs = 0;
        int64_t lastRecvUs = 0;
        int64_t completeUs = 0; // local time the group was seen complete
        int size = 0;
    };
    void addArrival(const Packet &p, int64_t nowUs);
    void groupDone(const Group &g, int64_t nowUs);
    void detect(double sendDeltaMs, int64_t nowUs);
    void refreshAcked();
    void refreshLoss(int64_t nowUs);

    int m_floor;
    int m_ceiling;
    double m_target;
    double m_delayTarget;
    double m_lossTarget;

    // Groups and the trend.
    bool m_haveGroup = false;
    Group m_current;
    bool m_havePrev = false;
    Group m_prev;
    int64_t m_newestSendUs = INT64_MIN;
    double m_accumulated = 0;
    double m_smoothed = 0;
    int64_t m_firstArrivalUs = -1;
    std::deque<std::pair<double, double>> m_history; // (arrival ms, smoothed delay ms)
    int m_deltas = 0;
    double m_modifiedTrend = 0;
    double m_prevTrend = 0;
    double m_threshold = 12.5;
    int64_t m_lastThresholdUs = -1;
    double m_overusingMs = -1;
    int m_overuseCount = 0;
    Signal m_signal = Signal::Normal;
    bool m_overuseSeen = false; // since the last update

    // Throughput and loss.
    std::deque<std::pair<int64_t, int>> m_arrivals; // receiver time, bytes
    double m_acked = 0;
    std::deque<std::pair<int64_t, bool>> m_reports; // local time, lost
    double m_loss = 0;
    bool m_fresh = false; // feedback since the last update

    // Rate control.
    enum class State { Hold, Increase, Decrease };
    State m_state = State::Increase;
    int64_t m_lastUpdateUs = -1;
    int64_t m_lastDecreaseUs = INT64_MIN / 2;
    int64_t m_lastLossCutUs = INT64_MIN / 2;
    double m_lastDecreaseKbps = 0;
};
