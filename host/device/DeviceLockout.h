#pragma once

#include <QtGlobal>

// Counts wrong passcode proofs across all sessions of the device. After
// `maxFailures` wrong proofs in a row the device refuses proofs for the lock time (5 minutes);
// a right proof resets the count. Kept per device so that reconnecting does not
// buy new attempts.
//
// A proof is checked in two steps with the slow key derivation between them: reserve()
// before the check starts, settle() with its result. A try is counted from its
// reservation on, so proofs sent from many sessions at once cannot all be checked: only
// as many as there are tries left are let through, the rest are refused as if locked.
// Both steps run on the main thread; each decides and counts in one call.
class DeviceLockout {
public:
    static constexpr int maxFailures = 5;
    static constexpr qint64 defaultLockSeconds = 300;
    // What a proof refused for want of free tries is told to wait: about one check.
    static constexpr qint64 busyRetrySec = 2;

    explicit DeviceLockout(qint64 lockSeconds = defaultLockSeconds) : m_lockSeconds(lockSeconds) {}
    void setLockSeconds(qint64 seconds) { m_lockSeconds = seconds; }

    struct Outcome {
        bool locked = false;   // refuse, and say "locked" with retrySec
        bool accepted = false; // settle(): the proof was right and is let in
        int remaining = 0;     // attempts left when neither locked nor accepted
        qint64 retrySec = 0;   // seconds until proofs are accepted again when locked
    };

    // Seconds still locked at `nowMs` (monotonic milliseconds); 0 when open.
    qint64 retrySec(qint64 nowMs) const;
    // Holds one try for a proof about to be checked. `locked` when the device is locked,
    // or when the checks already running use up the tries left; nothing is held then.
    Outcome reserve(qint64 nowMs);
    // Ends a reserved try with the check's result. A right proof is refused as well
    // when the device got locked while it was being checked.
    Outcome settle(bool right, qint64 nowMs);
    int failures() const { return m_failures; }
    int inFlight() const { return m_inFlight; }

private:
    qint64 m_lockSeconds;
    int m_failures = 0;
    int m_inFlight = 0;
    qint64 m_lockedUntilMs = 0;
};
