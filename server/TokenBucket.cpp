#include "TokenBucket.h"

#include <cmath>

double TokenBucket::level(qint64 nowMs) const {
    const double refill = double(qMax<qint64>(0, nowMs - m_lastMs)) * m_rate / 1000.0;
    return qMin(m_burst, m_tokens + refill);
}

bool TokenBucket::take(qint64 nowMs) {
    if (m_rate <= 0)
        return true;
    m_tokens = level(nowMs);
    m_lastMs = qMax(m_lastMs, nowMs);
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

bool TokenBucket::idle(qint64 nowMs) const {
    return m_rate <= 0 || level(nowMs) >= m_burst;
}

qint64 TokenBucket::waitMs(qint64 nowMs) const {
    if (m_rate <= 0)
        return 0;
    const double missing = 1.0 - level(nowMs);
    return missing <= 0 ? 0 : qint64(std::ceil(missing * 1000.0 / m_rate));
}
