#pragma once

#include "protocol/Result.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// What a session needs from the rendezvous server: a greeted signaling socket,
// TURN credentials, sending, and routing of its own messages by sid. The
// application's port is SharedSignalingPort over its signaling and REST clients; a
// test can plug a direct line to a peer of its own.
class SignalingPort {
public:
    struct Ice {
        QStringList urls;
        QString username;
        QString credential;
    };

    virtual ~SignalingPort() = default;

    // done on the main thread once greeted, or with why not (Unreachable, the
    // signaling client's description as message).
    virtual void connect(QObject *context, std::function<void(Result<std::monostate>)> done) = 0;
    // The STUN/TURN configuration, or why there is none, on the main thread.
    virtual void turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) = 0;
    // Sends one message; dropped silently without a socket. Any thread.
    virtual void send(const QJsonObject &message) = 0;
    // Routes the messages carrying this sid to handler until detach().
    virtual void attach(const QString &sid, std::function<void(const QJsonObject &)> handler) = 0;
    virtual void detach(const QString &sid) = 0;
};
