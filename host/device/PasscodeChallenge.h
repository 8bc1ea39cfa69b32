#pragma once

#include "device/DeviceLockout.h"
#include "device/DevicePasscodes.h"
#include "device/ProofKeyStock.h"
#include "device/ProofKeys.h"
#include "protocol/ctrl/ChallengeMessage.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

struct AuthMessage;

// The host's half of one connection's passcode proof: the challenge (a fresh nonce, and
// salts and keys for the passcodes accepted now) and the check of the viewer's answer,
// each try counted against the device's lockout. The connection is named by its two
// SDP texts, whose certificate fingerprints the proof covers. Main thread.
class PasscodeChallenge {
public:
    struct Options {
        // Read at the challenge and again at the check: a passcode changed in between counts.
        std::function<DevicePasscodes()> passcodes;
        // Shared by the sessions of the device; none: every proof is checked.
        std::shared_ptr<DeviceLockout> lockout;
        quint32 iterations = 100000;
        // Keys made ahead of time; none: the challenge derives its own.
        QPointer<ProofKeyStock> proofKeys;
        // Test hook: the challenge names a host fingerprint that is not the connection's.
        bool wrongFingerprint = false;
    };

    // What a proof came to: the lockout's outcome, and whether it was for the automatic passcode.
    struct Verdict {
        DeviceLockout::Outcome outcome;
        bool openedByAuto = false;
    };

    explicit PasscodeChallenge(Options options);
    ~PasscodeChallenge();
    PasscodeChallenge(const PasscodeChallenge &) = delete;
    PasscodeChallenge &operator=(const PasscodeChallenge &) = delete;

    // Seconds the device still refuses proofs at `nowMs` (monotonic milliseconds); no
    // challenge is worth sending while this is above 0.
    qint64 lockedFor(qint64 nowMs) const;
    // A fresh challenge for the connection the host answered with `answerSdp`. The keys
    // are derived while it travels and the viewer works on its proof, so that checking
    // the proof costs next to nothing when it comes.
    ChallengeMessage issue(const QString &answerSdp);
    bool issued() const { return m_keys != nullptr; }

    // Checks the viewer's proof for the connection of `offerSdp` and `answerSdp`. When the
    // lockout holds no try for it, the refusal is returned at once and `done` never runs.
    // Otherwise nullopt, and `done` runs later on the main thread with the verdict; the
    // try is settled even when this object is gone by then, so `done` must check its own
    // receiver.
    std::optional<DeviceLockout::Outcome> check(const AuthMessage &auth, const QString &offerSdp,
                                                const QString &answerSdp, qint64 nowMs,
                                                std::function<void(const Verdict &)> done);

private:
    ProofKeys::Codes acceptedCodes() const;

    Options m_options;
    QByteArray m_nonce;
    std::unique_ptr<ProofKeys> m_keys; // from the challenge on
};
