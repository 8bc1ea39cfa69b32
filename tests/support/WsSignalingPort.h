#pragma once

#include "rendezvous/SignalingPort.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QWebSocket>

#include <functional>
#include <variant>

// A RemoteSession's signaling over a plain "/ws/viewer" socket of a velmo-rendezvous
// under test, without the application's shared signaling client and REST client.
class WsSignalingPort : public SignalingPort {
public:
    explicit WsSignalingPort(const QString &server);

    void connect(QObject *context, std::function<void(Result<std::monostate>)> done) override;
    void turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) override;
    void send(const QJsonObject &message) override;
    void attach(const QString &sid, std::function<void(const QJsonObject &)> handler) override;
    void detach(const QString &sid) override { m_handlers.remove(sid); }

private:
    QWebSocket m_ws;
    bool m_greeted = false;
    QList<std::function<void()>> m_waiters;
    QMap<QString, std::function<void(const QJsonObject &)>> m_handlers;
};
