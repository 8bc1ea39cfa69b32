#include "rendezvous/SharedSignalingPort.h"

#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/Signaling.h"

std::shared_ptr<SignalingPort> SignalingPort::shared() {
    static const std::shared_ptr<SignalingPort> port = std::make_shared<SharedSignalingPort>();
    return port;
}

void SharedSignalingPort::connect(QObject *context, std::function<void(QString)> done) {
    Signaling::shared()->connectWithError(context, [done = std::move(done)](Signaling::ConnectError e) {
        if (e == Signaling::ConnectError::None)
            done(QString());
        else if (const QString untrusted = ServerTrust::shared()->failure(); !untrusted.isEmpty())
            done(untrusted); // the server's certificate, not the network, is what failed
        else
            done(Signaling::errorDescription(e));
    });
}

void SharedSignalingPort::turnCredentials(QObject *context, std::function<void(Ice)> done) {
    Api::turnCredentials(context, [done = std::move(done)](const IceConfig &ice) {
        done(Ice{ice.urls, ice.username.value_or(QString()), ice.credential.value_or(QString())});
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
