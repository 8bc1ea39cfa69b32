#pragma once

#include "rendezvous/SignalingPort.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>

#include <functional>

// A signaling port that carries a session's messages straight to a peer in the
// same process (and the peer's back), recording everything the session sent.
class LoopbackSignalingPort : public QObject, public SignalingPort {
    Q_OBJECT
public:
    explicit LoopbackSignalingPort(QObject *parent = nullptr) : QObject(parent) {}

    void connect(QObject *context, std::function<void(Result<std::monostate>)> done) override;
    void turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) override;
    void send(const QJsonObject &message) override;
    void attach(const QString &sid, std::function<void(const QJsonObject &)> handler) override;
    void detach(const QString &sid) override;

    // Delivers a message to the session registered under its sid (main thread, queued).
    void deliver(const QJsonObject &message);

    QString connectError;    // returned by connect() when set
    Ice ice;                 // returned by turnCredentials()
    QList<QJsonObject> sent; // everything the sessions sent, in order
    QMap<QString, std::function<void(const QJsonObject &)>> handlers;
    int attachCount = 0;
    QList<QJsonObject> sentOfType(const QString &type) const;

Q_SIGNALS:
    // A session sent this message (after it was recorded).
    void messageSent(const QJsonObject &message);
};
