#pragma once

#include "protocol/Result.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebSocket>

// The device's socket to the rendezvous server ("/ws/device"): registers with the
// device secret kept in device.json of the data directory, learns the nine-digit ID,
// relays session messages both ways and uploads thumbnails. Reconnects by itself with
// a growing delay (1 s doubling to 30 s).
class DeviceLink : public QObject {
    Q_OBJECT
public:
    DeviceLink(const QString &server, const QString &dataDir, QObject *parent = nullptr);
    ~DeviceLink() override;

    // ws:// or wss:// URL of the device endpoint for an http(s) server URL; invalid for anything else.
    static QUrl deviceUrl(const QString &server);
    // Reads the device secret, making and storing a new one when there is none. Fails
    // when device.json is refused (not this user's own private file) or cannot be written.
    static Result<QString> loadOrCreateSecret(const QString &dataDir);

    void start();
    void stop();
    void setName(const QString &name);
    void send(const QJsonObject &message);
    void sendThumbnail(const QByteArray &image);
    // Writes out what is queued (used on quit, when the event loop no longer runs).
    void flush() {
        if (m_socket)
            m_socket->flush();
    }

    QString deviceId() const { return m_deviceId; }
    bool registered() const { return m_registered; }

Q_SIGNALS:
    void deviceIdChanged(const QString &id);
    void registeredChanged(bool registered);
    // A session message relayed from a viewer ("connect", "ice", "bye").
    void sessionMessage(const QJsonObject &message);
    // The device cannot work, and why (e.g. device.json refused).
    void problem(const QString &text);

private:
    void open();
    void onConnected();
    void onText(const QString &text);
    void onClosed();
    void dropSocket();
    void scheduleReconnect();
    void setRegistered(bool on);

    QString m_server;
    QString m_dataDir;
    QString m_name;
    QString m_secret;
    QString m_deviceId;
    bool m_registered = false;
    bool m_running = false;
    int m_delayMs = 1000;
    // A fresh socket for every attempt: a QWebSocket reopened after a failed or closed
    // connection carries state over from the last one.
    QPointer<QWebSocket> m_socket;
    QTimer m_reconnect;
    QTimer m_registerTimeout;
};
