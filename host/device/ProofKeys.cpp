#include "device/ProofKeys.h"

#include "protocol/PasscodeProof.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <optional>
#include <vector>

struct ProofKeys::State {
    quint32 iterations = 0;
    QByteArray autoSalt, fixedSalt;
    // Main thread only; workers hand their key over with a queued call.
    Codes derivedFor;
    int missing = 0; // derivations still running for `derivedFor`
    QByteArray autoKey, fixedKey;
    struct Pending {
        Codes codes;
        QByteArray message;
        QString a, f;
        std::function<void(ProofKeys::Opened)> done;
    };
    std::vector<Pending> pending;
};

ProofKeys::ProofKeys(const Codes &codes, quint32 iterations) : m_state(std::make_shared<State>()) {
    m_state->iterations = iterations;
    m_state->autoSalt = PasscodeProof::randomBytes(PasscodeProof::saltBytes);
    m_state->fixedSalt = PasscodeProof::randomBytes(PasscodeProof::saltBytes);
    derive(m_state, codes);
}

ProofKeys::~ProofKeys() = default;

ProofKeys::Codes ProofKeys::accepted(const DevicePasscodes &passcodes) {
    const bool useAuto = passcodes.mode == QLatin1String("auto") || passcodes.mode == QLatin1String("both");
    const bool useFixed = passcodes.mode == QLatin1String("fixed") || passcodes.mode == QLatin1String("both");
    // An empty passcode never opens the device.
    return {useAuto ? passcodes.autoPasscode.toUtf8() : QByteArray(),
            useFixed ? passcodes.fixedPasscode.toUtf8() : QByteArray()};
}

QByteArray ProofKeys::autoSalt() const {
    return m_state->autoSalt;
}

QByteArray ProofKeys::fixedSalt() const {
    return m_state->fixedSalt;
}

void ProofKeys::derive(const std::shared_ptr<State> &state, const Codes &codes) {
    state->derivedFor = codes;
    state->autoKey.clear();
    state->fixedKey.clear();
    state->missing = 0;
    // The two derivations in parallel: on two cores a check is ready in the time of one.
    for (const bool isAuto : {true, false}) {
        const QByteArray code = isAuto ? codes.autoCode : codes.fixedCode;
        if (code.isEmpty())
            continue;
        ++state->missing;
        const QByteArray salt = isAuto ? state->autoSalt : state->fixedSalt;
        const quint32 iterations = state->iterations;
        QThreadPool::globalInstance()->start([state, codes, isAuto, code, salt, iterations] {
            // Worker thread of the pool: only the derivation happens here.
            const QByteArray key = PasscodeProof::pbkdf2(code, salt, iterations);
            PasscodeProof::releaseThreadState();
            QMetaObject::invokeMethod(
                qApp,
                [state, codes, isAuto, key] {
                    // Main thread. A key for codes replaced meanwhile is dropped.
                    if (!(state->derivedFor == codes))
                        return;
                    (isAuto ? state->autoKey : state->fixedKey) = key;
                    if (--state->missing == 0)
                        finish(state);
                },
                Qt::QueuedConnection);
        });
    }
    if (state->missing == 0)
        QMetaObject::invokeMethod(
            qApp, [state] { finish(state); }, Qt::QueuedConnection);
}

void ProofKeys::check(const Codes &now, const QByteArray &message, const QString &a, const QString &f,
                      std::function<void(Opened)> done) {
    m_state->pending.push_back({now, message, a, f, std::move(done)});
    if (!(m_state->derivedFor == now))
        derive(m_state, now);
    else if (m_state->missing == 0)
        finish(m_state);
}

void ProofKeys::finish(const std::shared_ptr<State> &state) {
    if (state->missing != 0)
        return;
    std::vector<State::Pending> ready;
    std::vector<State::Pending> later;
    for (State::Pending &p : state->pending)
        (p.codes == state->derivedFor ? ready : later).push_back(std::move(p));
    state->pending = std::move(later);
    // A check that came with other codes (they changed while the keys were made)
    // gets keys of its own.
    if (!state->pending.empty())
        derive(state, state->pending.front().codes);
    for (State::Pending &p : ready) {
        Opened opened = Opened::None;
        if (!p.codes.autoCode.isEmpty() && PasscodeProof::matches(state->autoKey, p.message, p.a))
            opened = Opened::Auto;
        else if (!p.codes.fixedCode.isEmpty() && PasscodeProof::matches(state->fixedKey, p.message, p.f))
            opened = Opened::Fixed;
        p.done(opened);
    }
}
