#include "device/DeviceLockout.h"

qint64 DeviceLockout::retrySec(qint64 nowMs) const {
    if (nowMs >= m_lockedUntilMs)
        return 0;
    return (m_lockedUntilMs - nowMs + 999) / 1000;
}

DeviceLockout::Outcome DeviceLockout::reserve(qint64 nowMs) {
    Outcome out;
    if (const qint64 left = retrySec(nowMs); left > 0) {
        out.locked = true;
        out.retrySec = left;
        return out;
    }
    if (m_failures + m_inFlight >= maxFailures) {
        out.locked = true;
        out.retrySec = busyRetrySec;
        return out;
    }
    ++m_inFlight;
    out.remaining = maxFailures - m_failures - m_inFlight;
    return out;
}

DeviceLockout::Outcome DeviceLockout::settle(bool right, qint64 nowMs) {
    Outcome out;
    if (m_inFlight > 0)
        --m_inFlight;
    if (const qint64 left = retrySec(nowMs); left > 0) {
        out.locked = true;
        out.retrySec = left;
        return out;
    }
    if (right) {
        m_failures = 0;
        out.accepted = true;
        return out;
    }
    ++m_failures;
    if (m_failures >= maxFailures) {
        m_failures = 0;
        m_lockedUntilMs = nowMs + m_lockSeconds * 1000;
        out.locked = true;
        out.retrySec = m_lockSeconds;
        return out;
    }
    out.remaining = qMax(0, maxFailures - m_failures - m_inFlight);
    return out;
}
