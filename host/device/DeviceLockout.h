#pragma once

#include <QtGlobal>

// Counts wrong passcode proofs across all sessions of the device. After
// `maxFailures` wrong proofs in a row the device refuses proofs for the lock time (5 minutes);
// a right proof resets the count. Kept per device so that reconnecting does not
// buy new attempts.
class DeviceLockout {
public:
    static constexpr int maxFailures = 5;
    static constexpr qint64 defaultLockSeconds = 300;

    explicit DeviceLockout(qint64 lockSeconds = defaultLockSeconds) : m_lockSeconds(lockSeconds) {}
    void setLockSeconds(qint64 seconds) { m_lockSeconds = seconds; }

    struct Outcome {
        bool locked = false;
        int remaining = 0;   // attempts left when not locked
        qint64 retrySec = 0; // seconds until proofs are accepted again when locked
    };

    // Seconds still locked at `nowMs` (monotonic milliseconds); 0 when open.
    qint64 retrySec(qint64 nowMs) const;
    // Records a wrong proof and says what to answer.
    Outcome fail(qint64 nowMs);
    void succeed() { m_failures = 0; }
    int failures() const { return m_failures; }

private:
    qint64 m_lockSeconds;
    int m_failures = 0;
    qint64 m_lockedUntilMs = 0;
};
