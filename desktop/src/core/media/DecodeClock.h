#pragma once

#include <QtGlobal>

#include <atomic>

// Time spent decoding video frames, added up by whichever thread decodes (the
// JPEG worker, the H.264 decoder's streaming thread) and read off by the main
// thread's statistics once in a while.
class DecodeClock {
public:
    struct Span {
        quint64 frames = 0;
        qint64 nanoseconds = 0;
        // Average per frame in milliseconds; negative when nothing was decoded.
        double averageMs() const { return frames ? double(nanoseconds) / double(frames) / 1e6 : -1.0; }
    };

    // Any thread.
    void add(qint64 nanoseconds) {
        m_frames.fetch_add(1, std::memory_order_relaxed);
        m_ns.fetch_add(nanoseconds, std::memory_order_relaxed);
    }
    // Main thread: what was added since the previous call.
    Span take() {
        return Span{m_frames.exchange(0, std::memory_order_relaxed), m_ns.exchange(0, std::memory_order_relaxed)};
    }

private:
    std::atomic<quint64> m_frames{0};
    std::atomic<qint64> m_ns{0};
};
