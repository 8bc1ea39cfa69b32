#pragma once

#include "MessageBus.h"
#include "RedisConnection.h"

#include <QTimer>

#include <memory>

// The bus on Redis: PUBLISH/SUBSCRIBE for the channels (PUBLISH answers how many
// subscribers took the message, so "nobody holds that device" is known at once), and one
// key per online device, "velmo:online:ID" = instance, set with an expiry and refreshed
// while the device stays. Two connections: subscribing takes one over entirely.
class RedisBus : public MessageBus {
    Q_OBJECT
public:
    RedisBus(const RedisConnection::Address &address, QObject *parent = nullptr);
    ~RedisBus() override;

    void start();

    QString instanceId() const override { return m_instance; }
    bool isUp() const override { return m_commands.isUp() && m_subscriber.isUp(); }
    void subscribe(const QByteArray &channel) override;
    void unsubscribe(const QByteArray &channel) override;
    void publish(const QByteArray &channel, const QByteArray &message, QObject *context, Delivered done) override;
    void claimOnline(const QString &deviceId) override;
    void releaseOnline(const QString &deviceId) override;
    void onlineAmong(const QStringList &ids, QObject *context, Presence done) override;

private:
    static QByteArray presenceKey(const QString &deviceId) { return "velmo:online:" + deviceId.toLatin1(); }
    void refreshPresence();

    QString m_instance;
    RedisConnection m_commands;
    RedisConnection m_subscriber;
    QSet<QString> m_claimed;
    QTimer m_refresh;
};
