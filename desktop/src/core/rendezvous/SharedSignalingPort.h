#pragma once

#include "rendezvous/SignalingPort.h"

#include <QPointer>

class Api;
class ServerTrust;
class Signaling;

// The signaling port the application's sessions share: the signaling client for the
// socket and the REST client for TURN credentials. Main thread, except send().
class SharedSignalingPort : public SignalingPort {
public:
    // None is owned; all outlive the sessions using this port. trust may be null.
    SharedSignalingPort(Signaling *signaling, Api *api, ServerTrust *trust);

    void connect(QObject *context, std::function<void(Result<std::monostate>)> done) override;
    void turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) override;
    void send(const QJsonObject &message) override;
    void attach(const QString &sid, std::function<void(const QJsonObject &)> handler) override;
    void detach(const QString &sid) override;

private:
    QPointer<Signaling> m_signaling;
    QPointer<Api> m_api;
    QPointer<ServerTrust> m_trust;
};
