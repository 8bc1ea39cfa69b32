#include "device/DeviceLockout.h"

qint64 DeviceLockout::retrySec(qint64 nowMs) const {
    if (nowMs >= m_lockedUntilMs)
        return 0;
    return (m_lockedUntilMs - nowMs + 999) / 1000;
}

DeviceLockout::Outcome DeviceLockout::fail(qint64 nowMs) {
    Outcome out;
    if (const qint64 left = retrySec(nowMs); left > 0) {
        out.locked = true;
        out.retrySec = left;
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
    out.remaining = maxFailures - m_failures;
    return out;
}
