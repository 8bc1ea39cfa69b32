#pragma once

#include <QtGlobal>

// A rate limit: `burst` tokens at most, refilled at `ratePerSec`; each event takes one.
// Times are monotonic milliseconds given by the caller (the server's event-loop thread).
class TokenBucket {
public:
    TokenBucket() = default;
    TokenBucket(double ratePerSec, double burst, qint64 nowMs)
        : m_rate(ratePerSec), m_burst(burst), m_tokens(burst), m_lastMs(nowMs) {}

    // Takes one token when there is one. A bucket with a rate of 0 or less never limits.
    bool take(qint64 nowMs);
    // Full again: nothing would be lost by forgetting this bucket.
    bool idle(qint64 nowMs) const;
    // Milliseconds until a token is there (0 when there is one now).
    qint64 waitMs(qint64 nowMs) const;

private:
    double level(qint64 nowMs) const;

    double m_rate = 0;
    double m_burst = 0;
    double m_tokens = 0;
    qint64 m_lastMs = 0;
};
