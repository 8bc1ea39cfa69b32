#pragma once

#include "device/DevicePasscodes.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// The host's half of the passcode proof, prepared while the connection is still being
// set up: fresh salts, and the PBKDF2 keys of the passcodes accepted now, derived on
// worker threads as soon as the session exists. Checking a proof is then two HMACs
// instead of two key derivations on the path to "auth_ok". Main thread.
class ProofKeys {
public:
    // The passcodes a proof may be for; an empty one opens nothing.
    struct Codes {
        QByteArray autoCode;
        QByteArray fixedCode;
        bool operator==(const Codes &) const = default;
    };

    // What a proof may open under the device's passcode settings right now.
    static Codes accepted(const DevicePasscodes &passcodes);

    ProofKeys(const Codes &codes, quint32 iterations);
    ~ProofKeys();
    ProofKeys(const ProofKeys &) = delete;
    ProofKeys &operator=(const ProofKeys &) = delete;

    QByteArray autoSalt() const;
    QByteArray fixedSalt() const;

    // Which passcode a proof opened: none, the automatic one or the fixed one.
    enum class Opened { None, Auto, Fixed };

    // Whether `a` (for the auto salt) or `f` (for the fixed one) is the MAC of `message`
    // under the key of a passcode in `now` (the automatic one is tried first). `done`
    // runs on the main thread: at once when
    // the keys are ready, else when they are; codes that changed since the keys were
    // started are derived again first. It runs even when this object is gone by then,
    // so that whoever counts tries can settle this one.
    void check(const Codes &now, const QByteArray &message, const QString &a, const QString &f,
               std::function<void(Opened)> done);

private:
    struct State;
    static void derive(const std::shared_ptr<State> &state, const Codes &codes);
    static void finish(const std::shared_ptr<State> &state);

    std::shared_ptr<State> m_state;
};
