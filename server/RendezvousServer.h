#pragma once

#include "HttpServer.h"
#include "MessageBus.h"
#include "Registry.h"
#include "RestApi.h"
#include "TokenBucket.h"
#include "TurnCredentials.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslConfiguration>
#include <QStringList>
#include <QTimer>

class QTcpSocket;
class WebSocketConnection;

// REST registry (RestApi), viewer signaling ("/ws/viewer") and device sockets ("/ws/device")
// on one port. Session messages are relayed along routes (device ID, sid) → viewer socket.
//
// With a MessageBus, several instances share the devices: a viewer's messages for a device
// held elsewhere go out on the device's channel, and the device's answers come back on the
// viewer's channel. The viewer's instance keeps the route that owns the session (and checks
// it); the device's instance keeps a remote route (device ID, sid) → viewer ID to know
// where to send the answers.
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

        // Limits against hostile clients. Rates are events per second; a client may
        // save up to a burst of them.
        HttpServer::Limits http;
        double lookupRate = 20; // REST look-ups and new "connect" targets, per client address
        double lookupBurst = 120;
        double socketLookupRate = 2; // new "connect" targets per viewer socket
        double socketLookupBurst = 20;
        double signalRate = 50; // viewer messages per socket
        double signalBurst = 200;
        double addressSignalRate = 200; // viewer messages per client address
        double addressSignalBurst = 1000;
        double registerRate = 1; // device registrations per client address
        double registerBurst = 60;
        int maxRoutesPerAddress = 1024;
        // Devices not seen for this long are deleted; 0 keeps them for ever.
        qint64 expireAfterSecs = 90LL * 86400;
        // All stored thumbnails together; the stalest go first. 0: no budget.
        qint64 thumbBudgetBytes = 64LL * 1024 * 1024;
    };

    static constexpr qint64 maxViewerMessageBytes = 64 * 1024;
    static constexpr qint64 maxDeviceMessageBytes = 512 * 1024;
    static constexpr qsizetype maxThumbBytes = 256 * 1024;
    static constexpr int maxRoutesPerViewer = 32;
    // Open WebSockets (viewers and devices together); more are refused with close code 1013.
    static constexpr int maxSockets = 4096;
    static constexpr qint64 maxPendingWriteBytes = 4 * 1024 * 1024;
    // A device with this much still to take gets no more viewer messages until it has
    // caught up: the viewers are refused, the device stays.
    static constexpr qint64 maxDeviceBacklogForViewers = 1024 * 1024;
    static constexpr int registerTimeoutMs = 10000;
    static constexpr int minThumbIntervalMs = 1000;
    // Sessions of viewers on other instances that one device may hold.
    static constexpr int maxRemoteRoutesPerDevice = 1024;

    // Without a bus the server stands alone.
    RendezvousServer(std::unique_ptr<Registry> registry, Options options, std::unique_ptr<MessageBus> bus = nullptr,
                     QObject *parent = nullptr);
    ~RendezvousServer() override;

    bool listen();
    // Stops listening and closes every WebSocket with 1001 (going away). Also done on destruction.
    void shutdown();
    quint16 port() const { return m_http.port(); }
    bool tls() const { return m_http.tlsEnabled(); }
    // Deletes devices not seen for the expiry time; how many went.
    int expireNow();

private:
    struct Viewer {
        QString id;
        QString address;
        qint64 lastHeard = 0;
        QSet<QString> routes;        // route keys made by this socket
        QHash<QString, int> targets; // device ID → routes to it from this socket
        TokenBucket messages;
        TokenBucket lookups;
        bool closing = false;
    };
    struct Device {
        QString id; // empty until registered
        qint64 lastHeard = 0;
        qint64 lastThumb = 0;
    };
    struct Route {
        QPointer<WebSocketConnection> viewer;
        QString viewerId;
        QString deviceId;
        QString sid;
        QString address; // the viewer's
        bool answered = false;
        // The viewer is on another instance; viewerId names its channel.
        bool remote = false;
    };

    RestApi::Hooks restHooks();
    // The administrator deleted the device: its sessions end, its socket (here or on
    // another instance) is closed.
    void deviceDeleted(const QString &id);

    // Main thread, from the HTTP server: a request to upgrade to a WebSocket.
    void onUpgrade(QTcpSocket *socket, const HttpRequest &req, const QByteArray &early);
    void addViewer(WebSocketConnection *socket);
    void addDevice(WebSocketConnection *socket);
    void onViewerText(WebSocketConnection *socket, const QString &text);
    void onDeviceText(WebSocketConnection *socket, const QString &text);
    void onDeviceBinary(WebSocketConnection *socket, const QByteArray &bytes);
    void registerDevice(WebSocketConnection *socket, const QJsonObject &msg);
    void storeThumb(WebSocketConnection *socket, const QByteArray &bytes);
    void relayFromDevice(WebSocketConnection *socket, const QJsonObject &msg);
    void viewerGone(WebSocketConnection *socket);
    void deviceGone(WebSocketConnection *socket);
    // The device is no longer reachable: unanswered sessions get an error, all its routes
    // stay (answered) or go (unanswered).
    void deviceOffline(const QString &id, bool dropAllRoutes);
    void sendError(WebSocketConnection *socket, const QString &sid, const QString &text);
    void closeDevice(WebSocketConnection *socket, int code, const QString &reason, const QString &error = {});
    void pingAll();
    void addRoute(const QString &key, const QString &deviceId, const QString &sid, WebSocketConnection *viewer);
    void addRemoteRoute(const QString &key, const QString &deviceId, const QString &sid, const QString &viewerId);
    // The bus: messages for the devices and viewers held here.
    void onBusMessage(const QByteArray &channel, const QByteArray &payload);
    void busToDevice(const QString &deviceId, const QJsonObject &envelope);
    void busToViewer(const QString &viewerId, const QJsonObject &envelope);
    // A viewer message for a device held elsewhere (if anywhere).
    void publishToDevice(const QString &deviceId, const QString &viewerId, const QJsonObject &msg,
                         const QString &routeKey = {});
    // A message for a viewer held elsewhere; `drop` ends its route there.
    void publishToViewer(const QString &viewerId, const QString &deviceId, const QJsonObject &msg, bool drop = false,
                         const QString &routeKey = {});
    void removeRoute(const QString &key);
    // Takes a token from the address's bucket in `table`, making the bucket when new.
    bool takeFor(QHash<QString, TokenBucket> &table, const QString &address, double rate, double burst);
    // A viewer over its limits: told so, then closed.
    void throttleViewer(WebSocketConnection *socket, const QString &sid);
    void pruneBuckets();

    static QString routeKey(const QString &deviceId, const QString &sid) { return deviceId + u'/' + sid; }
    static void sendJson(WebSocketConnection *socket, const QJsonObject &o);

    std::unique_ptr<Registry> m_registry;
    Options m_options;
    TurnCredentials m_turn;
    std::unique_ptr<MessageBus> m_bus;
    HttpServer m_http;
    RestApi m_rest;
    QTimer m_pingTimer;
    QHash<WebSocketConnection *, Viewer> m_viewers;
    QHash<QString, WebSocketConnection *> m_viewerById;
    QHash<WebSocketConnection *, Device> m_devices;
    QHash<QString, WebSocketConnection *> m_online; // device ID → its registered socket
    QHash<QString, Route> m_routes;                 // routeKey → viewer
    QHash<QString, QSet<QString>> m_routesByDevice; // device ID → its route keys
    QHash<QString, int> m_routesByAddress;          // viewer address → routes
    QHash<QString, TokenBucket> m_lookupsByAddress;
    QHash<QString, TokenBucket> m_messagesByAddress;
    QHash<QString, TokenBucket> m_registrationsByAddress;
    QTimer m_expiryTimer;
    QElapsedTimer m_clock; // monotonic time for the rate limits
};
