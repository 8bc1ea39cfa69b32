#include "session/ReconnectPolicy.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcReconnect, "velmo.session.reconnect")

using State = RemoteSession::State;
using FailureKind = RemoteSession::FailureKind;

ReconnectPolicy::ReconnectPolicy(RemoteSession *session, QObject *parent) : QObject(parent), m_session(session) {
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5 % early
    m_tryTimeout.setSingleShot(true);
    m_tick.setInterval(1000);
    connect(&m_wait, &QTimer::timeout, this, &ReconnectPolicy::tryNow);
    connect(&m_tick, &QTimer::timeout, this, &ReconnectPolicy::showCountdown);
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

QString ReconnectPolicy::waitingText(int tryNumber, int secondsLeft) {
    return QStringLiteral("再接続まで %1 秒(%2 回目)").arg(secondsLeft).arg(tryNumber);
}

QString ReconnectPolicy::tryingText(int tryNumber) {
    return QStringLiteral("再接続しています…(%1 回目)").arg(tryNumber);
}

QString ReconnectPolicy::exhaustedText() {
    return QStringLiteral("%1 分試しましたが再接続できませんでした").arg(giveUpAfterMs / 60000);
}

QString ReconnectPolicy::refusedText() {
    return QStringLiteral("接続を断られたため再接続をやめました");
}

QString ReconnectPolicy::passcodeText() {
    return QStringLiteral("パスコードが変わったようです。新しいパスコードを入れて「再試行」を押してください");
}

QString ReconnectPolicy::cancelledText() {
    return QStringLiteral("再接続をやめました");
}

int ReconnectPolicy::secondsLeft() const {
    if (!m_wait.isActive())
        return 0;
    return int(std::ceil(m_wait.remainingTime() / 1000.0));
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
        m_tick.stop();
        m_tryTimeout.stop();
        setStatus(QString());
        break;
    case State::Failed:
        m_tryTimeout.stop();
        m_inTry = false;
        if (!m_everConnected)
            break; // the first connection failing is shown as it is
        if (!retryable(m_session->failureKind())) {
            // Only a run of ours is ended with a text; a refusal of the user's own
            // retry is shown by the session's text alone.
            if (m_tries > 0 || m_wait.isActive())
                giveUp(m_session->passcodeRefused() ? passcodeText() : refusedText());
            break;
        }
        if (m_tries == 0)
            m_run.start();
        scheduleNext();
        break;
    case State::Closed:
        m_wait.stop();
        m_tick.stop();
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
    const int wait = int(delayMs(m_tries + 1) * m_scale);
    if (!m_run.isValid())
        m_run.start();
    if (m_run.elapsed() + wait > qint64(giveUpAfterMs * m_scale)) {
        giveUp(exhaustedText());
        return;
    }
    ++m_tries;
    qCInfo(lcReconnect) << (m_session ? m_session->sid() : QString()) << "try" << m_tries << "in" << wait << "ms";
    m_wait.start(wait);
    m_tick.start();
    showCountdown();
}

void ReconnectPolicy::showCountdown() {
    if (m_wait.isActive())
        setStatus(waitingText(m_tries, std::max(1, secondsLeft())));
    else
        m_tick.stop();
}

void ReconnectPolicy::tryNow() {
    m_tick.stop();
    if (!m_session || m_session->state() == State::Closed)
        return;
    m_inTry = true;
    setStatus(tryingText(m_tries));
    m_tryTimeout.start(int(tryTimeoutMs * m_scale));
    m_session->reconnect();
}

void ReconnectPolicy::cancel() {
    if (!active())
        return;
    giveUp(cancelledText());
}

void ReconnectPolicy::giveUp(const QString &text) {
    m_wait.stop();
    m_tick.stop();
    m_tryTimeout.stop();
    m_inTry = false;
    m_tries = 0;
    m_run.invalidate();
    qCInfo(lcReconnect) << (m_session ? m_session->sid() : QString()) << "gave up:" << text;
    setStatus(text);
}

void ReconnectPolicy::setStatus(const QString &text) {
    if (text == m_status)
        return;
    m_status = text;
    Q_EMIT statusChanged();
}
