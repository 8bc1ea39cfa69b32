#pragma once

#include "rendezvous/SignalingPort.h"

// The signaling port of the application: Signaling::shared() for the socket and
// the REST client for TURN credentials.
class SharedSignalingPort : public SignalingPort {
public:
    void connect(QObject *context, std::function<void(Result<std::monostate>)> done) override;
    void turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) override;
    void send(const QJsonObject &message) override;
    void attach(const QString &sid, std::function<void(const QJsonObject &)> handler) override;
    void detach(const QString &sid) override;
};
