#pragma once

#include "device/ProofKeys.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

// One set of proof keys for the next challenge, derived while the host has nothing else
// to do. A challenge takes it, so the viewer's two derivations run with the host's CPU
// to themselves instead of beside the host's own two (on two cores that halves the
// wait for "auth_ok"). Made again only after a quiet spell, so that a flood of
// challenges costs no more than the keys each of them needs anyway. Main thread.
class ProofKeyStock : public QObject {
    Q_OBJECT
public:
    static constexpr int quietMs = 1000;

    // `codes` is read whenever a set is made; `iterations` is the challenges' count.
    ProofKeyStock(std::function<ProofKeys::Codes()> codes, quint32 iterations, QObject *parent = nullptr);
    ~ProofKeyStock() override;

    // Keys for a challenge under `codes`: the stocked set when it was made for these
    // codes, fresh ones otherwise. Never the same salts twice.
    std::unique_ptr<ProofKeys> take(const ProofKeys::Codes &codes);
    // The accepted passcodes may have changed: a stocked set for others is made again soon.
    void codesMayHaveChanged();
    // Makes the first set soon (the agent is up and idle).
    void start();

    bool stocked() const { return m_ready != nullptr; }
    quint32 iterations() const { return m_iterations; }

private:
    void refill();

    std::function<ProofKeys::Codes()> m_codes;
    quint32 m_iterations;
    std::unique_ptr<ProofKeys> m_ready;
    ProofKeys::Codes m_readyFor;
    QTimer m_quiet;
};
