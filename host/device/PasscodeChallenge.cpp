#include "device/PasscodeChallenge.h"

#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/AuthMessage.h"

#include <QElapsedTimer>

PasscodeChallenge::PasscodeChallenge(Options options) : m_options(std::move(options)) {}

PasscodeChallenge::~PasscodeChallenge() = default;

qint64 PasscodeChallenge::lockedFor(qint64 nowMs) const {
    return m_options.lockout ? m_options.lockout->retrySec(nowMs) : 0;
}

ChallengeMessage PasscodeChallenge::issue(const QString &answerSdp) {
    m_nonce = PasscodeProof::randomBytes(PasscodeProof::nonceBytes);
    // Keys made ahead of time, when there are some, leave the CPU to the viewer's proof.
    m_keys = m_options.proofKeys && m_options.proofKeys->iterations() == m_options.iterations
                 ? m_options.proofKeys->take(acceptedCodes())
                 : std::make_unique<ProofKeys>(acceptedCodes(), m_options.iterations);
    QString fp = PasscodeProof::fingerprint(answerSdp);
    if (m_options.wrongFingerprint && !fp.isEmpty())
        fp.replace(0, 1, fp.startsWith(QLatin1Char('A')) ? QStringLiteral("B") : QStringLiteral("A"));
    return ChallengeMessage{m_nonce, m_keys->autoSalt(), m_keys->fixedSalt(), fp, quint32(m_options.iterations)};
}

std::optional<DeviceLockout::Outcome> PasscodeChallenge::check(const AuthMessage &auth, const QString &offerSdp,
                                                               const QString &answerSdp, qint64 nowMs,
                                                               std::function<void(const Verdict &)> done) {
    // The try is counted before the check starts, so that proofs from many sessions at
    // once cannot all be checked against a count that none of them has raised yet.
    if (m_options.lockout) {
        const DeviceLockout::Outcome held = m_options.lockout->reserve(nowMs);
        if (held.locked)
            return held;
    }
    const QByteArray message =
        PasscodeProof::message(m_nonce, PasscodeProof::fingerprint(offerSdp), PasscodeProof::fingerprint(answerSdp));
    m_keys->check(acceptedCodes(), message, auth.a, auth.f,
                  [lockout = m_options.lockout, done = std::move(done)](ProofKeys::Opened opened) {
                      // Main thread. The try is settled even when the challenge has gone meanwhile.
                      Verdict verdict;
                      verdict.openedByAuto = opened == ProofKeys::Opened::Auto;
                      verdict.outcome.accepted = opened != ProofKeys::Opened::None;
                      if (lockout) {
                          QElapsedTimer clock;
                          clock.start();
                          verdict.outcome = lockout->settle(verdict.outcome.accepted, clock.msecsSinceReference());
                      }
                      done(verdict);
                  });
    return std::nullopt;
}

ProofKeys::Codes PasscodeChallenge::acceptedCodes() const {
    return ProofKeys::accepted(m_options.passcodes ? m_options.passcodes() : DevicePasscodes{});
}
