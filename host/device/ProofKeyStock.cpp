#include "device/ProofKeyStock.h"

ProofKeyStock::ProofKeyStock(std::function<ProofKeys::Codes()> codes, quint32 iterations, QObject *parent)
    : QObject(parent), m_codes(std::move(codes)), m_iterations(iterations) {
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(quietMs);
    connect(&m_quiet, &QTimer::timeout, this, &ProofKeyStock::refill);
}

ProofKeyStock::~ProofKeyStock() = default;

void ProofKeyStock::start() {
    m_quiet.start();
}

std::unique_ptr<ProofKeys> ProofKeyStock::take(const ProofKeys::Codes &codes) {
    std::unique_ptr<ProofKeys> keys;
    if (m_ready && m_readyFor == codes)
        keys = std::move(m_ready);
    else
        keys = std::make_unique<ProofKeys>(codes, m_iterations);
    m_ready.reset();
    // Restarted by every challenge: while viewers keep coming nothing is made ahead.
    m_quiet.start();
    return keys;
}

void ProofKeyStock::codesMayHaveChanged() {
    if (m_ready && !(m_codes() == m_readyFor))
        m_ready.reset();
    if (!m_ready && !m_quiet.isActive())
        m_quiet.start();
}

void ProofKeyStock::refill() {
    const ProofKeys::Codes codes = m_codes();
    // No passcode accepted: nothing to prepare (a challenge then derives nothing either).
    if (codes.autoCode.isEmpty() && codes.fixedCode.isEmpty())
        return;
    m_readyFor = codes;
    m_ready = std::make_unique<ProofKeys>(codes, m_iterations);
}
