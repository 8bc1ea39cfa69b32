#include "rendezvous/SharedSignalingPort.h"

#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/Signaling.h"

SharedSignalingPort::SharedSignalingPort(Signaling *signaling, Api *api, ServerTrust *trust)
    : m_signaling(signaling), m_api(api), m_trust(trust) {}

void SharedSignalingPort::connect(QObject *context, std::function<void(Result<std::monostate>)> done) {
    if (!m_signaling)
        return done(Result<std::monostate>::failure(
            Error::make(Error::Kind::Unreachable, Signaling::errorDescription(Signaling::ConnectError::BadUrl))));
    QPointer<ServerTrust> trust = m_trust;
    m_signaling->connectWithError(context, [trust, done = std::move(done)](Signaling::ConnectError e) {
        if (e == Signaling::ConnectError::None)
            done(Result<std::monostate>::success({}));
        else if (const QString untrusted = trust ? trust->failure() : QString(); !untrusted.isEmpty())
            // The server's certificate, not the network, is what failed.
            done(Result<std::monostate>::failure(Error::make(Error::Kind::Unreachable, untrusted)));
        else
            done(
                Result<std::monostate>::failure(Error::make(Error::Kind::Unreachable, Signaling::errorDescription(e))));
    });
}

void SharedSignalingPort::turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) {
    if (!m_api)
        return done(
            Result<Ice>::failure(Error::make(Error::Kind::Unreachable, QStringLiteral("サーバーに接続できません"))));
    m_api->turnCredentials(context, [done = std::move(done)](const Result<IceConfig> &ice) {
        if (!ice.ok())
            return done(Result<Ice>::failure(ice.error));
        done(Result<Ice>::success(
            Ice{ice.value->urls, ice.value->username.value_or(QString()), ice.value->credential.value_or(QString())}));
    });
}

void SharedSignalingPort::send(const QJsonObject &message) {
    // Any thread: the client queues the frame to its own.
    if (Signaling *signaling = m_signaling.data())
        signaling->send(message);
}

void SharedSignalingPort::attach(const QString &sid, std::function<void(const QJsonObject &)> handler) {
    // The handler holds its session weakly; the client itself is the context.
    if (m_signaling)
        m_signaling->setHandler(sid, m_signaling, std::move(handler));
}

void SharedSignalingPort::detach(const QString &sid) {
    if (m_signaling)
        m_signaling->removeHandler(sid);
}
