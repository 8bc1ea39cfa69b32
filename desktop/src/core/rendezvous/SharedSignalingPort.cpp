#include "rendezvous/SharedSignalingPort.h"

#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/Signaling.h"

std::shared_ptr<SignalingPort> SignalingPort::shared() {
    static const std::shared_ptr<SignalingPort> port = std::make_shared<SharedSignalingPort>();
    return port;
}

void SharedSignalingPort::connect(QObject *context, std::function<void(Result<std::monostate>)> done) {
    Signaling::shared()->connectWithError(context, [done = std::move(done)](Signaling::ConnectError e) {
        if (e == Signaling::ConnectError::None)
            done(Result<std::monostate>::success({}));
        else if (const QString untrusted = ServerTrust::shared()->failure(); !untrusted.isEmpty())
            // The server's certificate, not the network, is what failed.
            done(Result<std::monostate>::failure(Error::make(Error::Kind::Unreachable, untrusted)));
        else
            done(
                Result<std::monostate>::failure(Error::make(Error::Kind::Unreachable, Signaling::errorDescription(e))));
    });
}

void SharedSignalingPort::turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) {
    Api::turnCredentials(context, [done = std::move(done)](const Result<IceConfig> &ice) {
        if (!ice.ok())
            return done(Result<Ice>::failure(ice.error));
        done(Result<Ice>::success(
            Ice{ice.value->urls, ice.value->username.value_or(QString()), ice.value->credential.value_or(QString())}));
    });
}

void SharedSignalingPort::send(const QJsonObject &message) {
    Signaling::shared()->send(message);
}

void SharedSignalingPort::attach(const QString &sid, std::function<void(const QJsonObject &)> handler) {
    // The handler holds its session weakly; the client itself is the context.
    Signaling::shared()->setHandler(sid, Signaling::shared(), std::move(handler));
}

void SharedSignalingPort::detach(const QString &sid) {
    Signaling::shared()->removeHandler(sid);
}
