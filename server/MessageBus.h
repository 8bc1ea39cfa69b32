#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What several instances of the server share to act as one: channels that reach whichever
// instance holds a device or a viewer socket, and which devices are online anywhere. An
// instance publishes the signaling for a device it does not hold on that device's channel;
// the holder subscribes to it. Presence expires by itself, so an instance that dies takes
// its devices offline within presenceTtlSecs. Callbacks run on the main thread, and only
// while their context object lives.
class MessageBus : public QObject {
    Q_OBJECT
public:
    static constexpr int presenceTtlSecs = 10;
    static constexpr int presenceRefreshMs = 3000;

    // Receivers of a published message; nullopt when the bus is unavailable.
    using Delivered = std::function<void(std::optional<qint64> receivers)>;
    // The IDs among those asked that are online on any instance; nullopt when unavailable.
    using Presence = std::function<void(std::optional<QSet<QString>> online)>;

    using QObject::QObject;

    // This instance's name, random per process.
    virtual QString instanceId() const = 0;
    virtual bool isUp() const = 0;
    virtual void subscribe(const QByteArray &channel) = 0;
    virtual void unsubscribe(const QByteArray &channel) = 0;
    virtual void publish(const QByteArray &channel, const QByteArray &message, QObject *context,
                         Delivered done = {}) = 0;
    // This instance holds the device (kept fresh until released) / no longer holds it.
    virtual void claimOnline(const QString &deviceId) = 0;
    virtual void releaseOnline(const QString &deviceId) = 0;
    virtual void onlineAmong(const QStringList &ids, QObject *context, Presence done) = 0;

    static QByteArray deviceChannel(const QString &deviceId) { return "velmo:device:" + deviceId.toLatin1(); }
    static QByteArray viewerChannel(const QString &viewerId) { return "velmo:viewer:" + viewerId.toLatin1(); }

Q_SIGNALS:
    // A message on a subscribed channel.
    void message(const QByteArray &channel, const QByteArray &payload);
};
