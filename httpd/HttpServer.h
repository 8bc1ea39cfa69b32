#pragma once

#include "TlsTcpServer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <QUrlQuery>

#include <deque>
#include <functional>

class QTcpSocket;

// One parsed HTTP/1.1 request. Header names are lower-cased.
struct HttpRequest {
    QByteArray method;
    QString path;
    QUrlQuery query;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
    // The client's address in the form used for per-address limits.
    QString peer;
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

// Answers one request. It lives as long as its connection; a handler may keep a
// QPointer to it and answer later, or stream (server-sent events).
class HttpResponder : public QObject {
    Q_OBJECT
public:
    // A client that has not taken a finished answer after this long is cut off.
    static constexpr int lingerMs = 30'000;

    explicit HttpResponder(QTcpSocket *socket, QObject *parent = nullptr);

    void respond(int status, const QByteArray &body = {}, const QByteArray &contentType = "application/json",
                 const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});
    void respondJson(int status, const QByteArray &json) { respond(status, json, "application/json"); }
    // Sends the status line and headers and keeps the connection open for write().
    void beginStream(int status, const QByteArray &contentType);
    // Queues bytes of a stream; a peer that lets more than 8 MiB pile up is dropped.
    bool write(const QByteArray &bytes);
    // Bytes written but not yet taken by the peer.
    qint64 pendingBytes() const;
    // Drops the connection without (further) answer.
    void abort();
    bool isOpen() const;
    bool answered() const { return m_answered; }

Q_SIGNALS:
    void disconnected();

private:
    QPointer<QTcpSocket> m_socket;
    bool m_answered = false;
};

// Minimal HTTP/1.1 server on QTcpServer: one request per connection
// ("Connection: close"), bounded header and body sizes, and hand-over of
// WebSocket upgrades (see WebSocketConnection::accept()).
//
// It holds under hostile clients: a request (header and body) must arrive within
// a time-out, each client address may hold a bounded number of connections, and
// the total stays below the process's descriptor limit so that the listening
// socket keeps accepting. At the total cap the oldest connection that has not
// finished its request makes room; when none is left the new one is refused.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest &, HttpResponder *)>;
    // Takes over a connection whose request asks for a WebSocket upgrade, read up to the end
    // of its header; `early` holds what the client sent after it.
    using UpgradeHandler = std::function<void(QTcpSocket *, const HttpRequest &, const QByteArray &early)>;

    static constexpr qsizetype maxHeaderBytes = 64 * 1024;
    static constexpr qsizetype defaultMaxBodyBytes = 16 * 1024 * 1024;

    struct Limits {
        // From accept until the whole request (header and body) has arrived.
        int requestTimeoutMs = 10'000;
        // Open connections in total (WebSockets handed over included); 0: derived from
        // the descriptor limit (see descriptorBudget()).
        int maxConnections = 0;
        // Open connections from one client address; 0: no separate cap.
        int maxConnectionsPerAddress = 256;
    };

    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    void close() { m_server.close(); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    void setUpgradeHandler(UpgradeHandler handler) { m_upgrade = std::move(handler); }
    void setMaxBodyBytes(qsizetype bytes) { m_maxBody = bytes; }
    // Serves HTTPS (and WSS through the WebSocket hand-over) on the same port from now on.
    void setTls(const QSslConfiguration &config) { m_server.setTls(config); }
    bool tlsEnabled() const { return m_server.tlsEnabled(); }
    void setLimits(const Limits &limits);
    Limits limits() const { return m_limits; }
    // The total cap in force.
    int maxConnections() const { return m_maxConnections; }
    int connectionCount() const { return int(m_conns.size()); }
    int connectionsFrom(const QString &peer) const { return m_perAddress.value(peer); }

    // Descriptors this process may spend on connections: the soft RLIMIT_NOFILE less a
    // reserve for the listening socket, files, pipes and libraries.
    static int descriptorBudget();
    // Raises the soft descriptor limit to the hard one (as far as `ceiling`).
    static void raiseDescriptorLimit(int ceiling = 1 << 20);
    // The key for per-address accounting: the address text, IPv4-mapped IPv6 as IPv4,
    // other IPv6 addresses by their /64 prefix (one host usually holds a whole /64).
    static QString addressKey(const QHostAddress &address);

    static QByteArray reasonPhrase(int status);

private:
    struct Conn {
        QString peer;
        QElapsedTimer age;
        QByteArray head;       // bytes read so far inside the read transaction
        qsizetype scanned = 0; // head[0, scanned) holds no end of header
        bool headerDone = false;
        bool handled = false; // answered by us, handed to the handler or upgraded
        HttpRequest req;
        qint64 length = 0;
    };

    void onNewConnection();
    void onReadable(QTcpSocket *socket);
    void finishRequest(QTcpSocket *socket, Conn &c);
    void forget(QTcpSocket *socket);
    bool evictOldestPending();
    void sweep();
    // Answers with a bare status and closes; the request is done with.
    void reject(QTcpSocket *socket, Conn &c, int status);
    // Refuses a connection that was never tracked, without keeping its descriptor.
    static void refuseNow(QTcpSocket *socket);

    TlsTcpServer m_server;
    Handler m_handler;
    UpgradeHandler m_upgrade;
    qsizetype m_maxBody = defaultMaxBodyBytes;
    Limits m_limits;
    int m_maxConnections = 0;
    QHash<QTcpSocket *, Conn> m_conns;
    QHash<QString, int> m_perAddress;
    // Connections in accept order that may still be pending (stale entries are skipped).
    std::deque<QPointer<QTcpSocket>> m_pending;
    QTimer m_sweepTimer;
};
