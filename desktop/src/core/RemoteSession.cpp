#include "RemoteSession.h"

#include "AppConfig.h"
#include "VideoFrameTap.h"

#include <QUuid>

struct RemoteSession::Private {
    std::shared_ptr<VideoFrameTap> tap = std::make_shared<VideoFrameTap>();
};

QString RemoteSession::authFailText(qint64 remaining) {
    return QStringLiteral("パスコードが違います(残り %1 回)").arg(remaining);
}

QString RemoteSession::lockedText(qint64 retrySec) {
    const qint64 minutes =
        retrySec > std::numeric_limits<qint64>::max() - 59 ? retrySec / 60 + 1 : (retrySec + 59) / 60;
    return QStringLiteral("パスコードを続けて間違えたため、この端末は接続を受け付けません(あと %1 分)").arg(minutes);
}

RemoteSession::RemoteSession(const QString &targetId, const QString &passcode, const QString &name, QObject *parent)
    : RemoteSession(targetId, passcode, name, nullptr, parent) {}

RemoteSession::RemoteSession(const QString &targetId, const QString &passcode, const QString &name,
                             std::shared_ptr<SignalingPort>, QObject *parent)
    : QObject(parent), m_targetId(targetId), m_passcode(passcode), m_sid(makeSid()), m_name(name),
      m_volume(AppConfig::shared()->volume()), m_quality(AppConfig::shared()->quality()),
      d(std::make_unique<Private>()) {}

RemoteSession::~RemoteSession() = default;

QString RemoteSession::makeSid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().remove('-').left(8).toLower();
}

void RemoteSession::setMuted(bool muted) {
    const bool changed = muted != m_muted;
    m_muted = muted;
    if (changed)
        Q_EMIT mutedChanged();
    applyAudio();
}

void RemoteSession::setVolume(double volume) {
    const bool changed = volume != m_volume;
    m_volume = volume;
    if (changed)
        Q_EMIT volumeChanged();
    applyAudio();
}

void RemoteSession::start() {}

void RemoteSession::close() {
    if (m_state == State::Closed)
        return;
    setState(State::Closed);
}

void RemoteSession::setState(State next, const QString &text) {
    if (m_state == next && m_failureText == text)
        return;
    const bool closing = next == State::Closed;
    m_state = next;
    m_failureText = next == State::Failed ? text : QString();
    Q_EMIT stateChanged();
    if (closing)
        Q_EMIT closed();
}

void RemoteSession::sendInput(const QJsonObject &) {}
void RemoteSession::setQuality(const Quality &q) {
    m_quality = q;
}
void RemoteSession::selectMonitor(const QString &, int) {}
void RemoteSession::requestStill() {}
QImage RemoteSession::snapshot() const {
    return m_videoMode == QLatin1String("h264") ? d->tap->latestImage() : m_image;
}
VideoFrameTap *RemoteSession::tap() const {
    return d->tap.get();
}
void RemoteSession::onSignal(const QJsonObject &) {}
void RemoteSession::setup(const QStringList &, const QString &, const QString &) {}
void RemoteSession::fail(const QString &text) {
    if (m_state != State::Closed)
        setState(State::Failed, text);
}
void RemoteSession::onCtrl(const QJsonObject &) {}
void RemoteSession::onChallenge(const QJsonObject &) {}
void RemoteSession::onAuthOk(const QJsonObject &) {}
void RemoteSession::onFrameDecoded(const QImage &, QSize) {}
void RemoteSession::onStillReceived(const QByteArray &) {}
void RemoteSession::updateFrameSize(QSize) {}
void RemoteSession::applyAudio() {}
void RemoteSession::sendCtrl(const QJsonObject &) {}
