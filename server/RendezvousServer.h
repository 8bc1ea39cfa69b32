#pragma once

#include "HttpServer.h"
#include "Registry.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslConfiguration>
#include <QStringList>
#include <QTimer>
#include <QWebSocketServer>

class QWebSocket;

// REST registry, viewer signaling ("/ws/viewer") and device sockets ("/ws/device") on one
// port. Session messages are relayed along routes (device ID, sid) → viewer socket.
class RendezvousServer : public QObject {
    Q_OBJECT
public:
    struct Options {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 8787;
        QString adminToken;
        QStringList stunUrls;
        QStringList turnUrls;
        QString turnSecret;
        qint64 turnTtlSeconds = 86400;
        // Every socket is pinged this often; one silent for three intervals is closed.
        int pingIntervalMs = 20000;
        // When set, REST and both WebSocket paths are served over TLS only (https, wss).
        std::optional<QSslConfiguration> tls;
    };

    static constexpr qint64 maxViewerMessageBytes = 64 * 1024;
    static constexpr qint64 maxDeviceMessageBytes = 512 * 1024;
    static constexpr qsizetype maxThumbBytes = 256 * 1024;
    static constexpr int maxRoutesPerViewer = 32;
    // Open WebSockets (viewers and devices together); more are refused with close code 1013.
    static constexpr int maxSockets = 4096;
    static constexpr qint64 maxPendingWriteBytes = 4 * 1024 * 1024;
    static constexpr int registerTimeoutMs = 10000;
    static constexpr int minThumbIntervalMs = 1000;

    RendezvousServer(std::unique_ptr<Registry> registry, Options options, QObject *parent = nullptr);
    ~RendezvousServer() override;

    bool listen();
    // Stops listening and closes every WebSocket with 1001 (going away). Also done on destruction.
    void shutdown();
    quint16 port() const { return m_http.port(); }
    bool tls() const { return m_http.tlsEnabled(); }

    // Time-limited TURN credentials in the shared-secret scheme: "<expiry>:velmo" and
    // base64(HMAC-SHA1(secret, username)).
    static QJsonObject turnCredentials(const Options &options, qint64 nowSecs);

private:
    struct Viewer {
        QString id;
        qint64 lastHeard = 0;
    };
    struct Device {
        QString id; // empty until registered
        qint64 lastHeard = 0;
        qint64 lastThumb = 0;
    };
    struct Route {
        QPointer<QWebSocket> viewer;
        QString viewerId;
        bool answered = false;
    };

    void handleHttp(const HttpRequest &req, HttpResponder *res);
    bool authorised(const HttpRequest &req, HttpResponder *res) const;
    QJsonObject deviceJson(const DeviceRecord &d) const;

    void onNewSocket();
    void addViewer(QWebSocket *socket);
    void addDevice(QWebSocket *socket);
    void onViewerText(QWebSocket *socket, const QString &text);
    void onDeviceText(QWebSocket *socket, const QString &text);
    void onDeviceBinary(QWebSocket *socket, const QByteArray &bytes);
    void registerDevice(QWebSocket *socket, const QJsonObject &msg);
    void storeThumb(QWebSocket *socket, const QByteArray &bytes);
    void relayFromDevice(QWebSocket *socket, const QJsonObject &msg);
    void viewerGone(QWebSocket *socket);
    void deviceGone(QWebSocket *socket);
    // The device is no longer reachable: unanswered sessions get an error, all its routes
    // stay (answered) or go (unanswered).
    void deviceOffline(const QString &id, bool dropAllRoutes);
    void sendError(QWebSocket *socket, const QString &sid, const QString &text);
    void closeDevice(QWebSocket *socket, int code, const QString &reason, const QString &error = {});
    void pingAll();

    static QString routeKey(const QString &deviceId, const QString &sid) { return deviceId + u'/' + sid; }
    static void sendJson(QWebSocket *socket, const QJsonObject &o);

    std::unique_ptr<Registry> m_registry;
    Options m_options;
    HttpServer m_http;
    QWebSocketServer m_ws;
    QTimer m_pingTimer;
    QHash<QWebSocket *, Viewer> m_viewers;
    QHash<QWebSocket *, Device> m_devices;
    QHash<QString, QWebSocket *> m_online; // device ID → its registered socket
    QHash<QString, Route> m_routes;        // routeKey → viewer
};
