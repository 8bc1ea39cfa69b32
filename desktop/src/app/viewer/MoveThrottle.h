#pragma once

#include <QtGlobal>

#include <limits>

// Lets a pointer move through at most once per interval; the ones in between are
// dropped, not queued. Times are monotonic nanoseconds.
class MoveThrottle {
public:
    static constexpr qint64 intervalNs = 16'000'000;

    // Whether a move at nowNs may be sent; when it may, it counts as the last one.
    bool admit(qint64 nowNs) {
        if (m_last != never && nowNs - m_last < intervalNs)
            return false;
        m_last = nowNs;
        return true;
    }

private:
    static constexpr qint64 never = std::numeric_limits<qint64>::min();
    qint64 m_last = never;
};
