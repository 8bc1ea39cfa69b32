#include "session/ReconnectPolicy.h"

#include <QLoggingCategory>

#include <algorithm>

Q_LOGGING_CATEGORY(lcReconnect, "velmo.session.reconnect")

using State = RemoteSession::State;
using FailureKind = RemoteSession::FailureKind;

ReconnectPolicy::ReconnectPolicy(RemoteSession *session, QObject *parent) : QObject(parent), m_session(session) {
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5 % early
    m_tryTimeout.setSingleShot(true);
    connect(&m_wait, &QTimer::timeout, this, &ReconnectPolicy::tryNow);
    connect(&m_tryTimeout, &QTimer::timeout, this, [this] {
        // Still negotiating: a host that never answers. Waiting for a host user's
        // approval (authenticating) is not cut short.
        if (m_session && m_session->state() == State::Connecting)
            scheduleNext();
    });
    if (m_session) {
        m_everConnected = m_session->state() == State::Connected;
        connect(m_session, &RemoteSession::stateChanged, this, &ReconnectPolicy::onStateChanged);
    }
}

int ReconnectPolicy::delayMs(int tryNumber) {
    const int n = std::clamp(tryNumber, 1, 16);
    return std::min(30000, 1000 << (n - 1));
}

bool ReconnectPolicy::retryable(FailureKind kind) {
    return kind == FailureKind::Lost || kind == FailureKind::Unreachable;
}

QString ReconnectPolicy::tryingText(int tryNumber) {
    return QStringLiteral("再接続しています… (%1/%2)").arg(tryNumber).arg(maxTries);
}

QString ReconnectPolicy::exhaustedText() {
    return QStringLiteral("%1 回試しましたが再接続できませんでした").arg(maxTries);
}

QString ReconnectPolicy::refusedText() {
    return QStringLiteral("接続を断られたため再接続をやめました");
}

void ReconnectPolicy::onStateChanged() {
    if (!m_session)
        return;
    switch (m_session->state()) {
    case State::Connected:
        m_everConnected = true;
        m_inTry = false;
        m_tries = 0;
        m_wait.stop();
        m_tryTimeout.stop();
        setStatus(QString());
        break;
    case State::Failed:
        m_tryTimeout.stop();
        m_inTry = false;
        if (!m_everConnected)
            break; // the first connection failing is shown as it is
        if (!retryable(m_session->failureKind())) {
            if (m_tries > 0 || m_wait.isActive())
                giveUp(refusedText());
            break;
        }
        scheduleNext();
        break;
    case State::Closed:
        m_wait.stop();
        m_tryTimeout.stop();
        m_inTry = false;
        break;
    case State::Connecting:
    case State::Authenticating:
        break;
    }
}

void ReconnectPolicy::scheduleNext() {
    m_tryTimeout.stop();
    m_inTry = false;
    if (m_tries >= maxTries) {
        giveUp(exhaustedText());
        return;
    }
    ++m_tries;
    setStatus(tryingText(m_tries));
    const int wait = int(delayMs(m_tries) * m_scale);
    qCInfo(lcReconnect) << (m_session ? m_session->sid() : QString()) << "try" << m_tries << "in" << wait << "ms";
    m_wait.start(wait);
}

void ReconnectPolicy::tryNow() {
    if (!m_session || m_session->state() == State::Closed)
        return;
    m_inTry = true;
    m_tryTimeout.start(int(tryTimeoutMs * m_scale));
    m_session->reconnect();
}

void ReconnectPolicy::giveUp(const QString &text) {
    m_wait.stop();
    m_tryTimeout.stop();
    m_inTry = false;
    m_tries = 0;
    qCInfo(lcReconnect) << (m_session ? m_session->sid() : QString()) << "gave up:" << text;
    setStatus(text);
}

void ReconnectPolicy::setStatus(const QString &text) {
    if (text == m_status)
        return;
    m_status = text;
    Q_EMIT statusChanged();
}
