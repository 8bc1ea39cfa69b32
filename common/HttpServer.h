#pragma once

#include "TlsTcpServer.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QUrlQuery>
#include <QWebSocketServer>

#include <functional>

class QTcpSocket;

// One parsed HTTP/1.1 request. Header names are lower-cased.
struct HttpRequest {
    QByteArray method;
    QString path;
    QUrlQuery query;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

// Answers one request. It lives as long as its connection; a handler may keep a
// QPointer to it and answer later, or stream (server-sent events).
class HttpResponder : public QObject {
    Q_OBJECT
public:
    explicit HttpResponder(QTcpSocket *socket, QObject *parent = nullptr);

    void respond(int status, const QByteArray &body = {}, const QByteArray &contentType = "application/json",
                 const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});
    void respondJson(int status, const QByteArray &json) { respond(status, json, "application/json"); }
    // Sends the status line and headers and keeps the connection open for write().
    void beginStream(int status, const QByteArray &contentType);
    // Queues bytes of a stream; a peer that lets more than 8 MiB pile up is dropped.
    bool write(const QByteArray &bytes);
    // Bytes written but not yet taken by the peer.
    qint64 pendingBytes() const { return m_socket ? m_socket->bytesToWrite() : 0; }
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
// WebSocket upgrades to a QWebSocketServer in non-listening mode.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest &, HttpResponder *)>;

    static constexpr qsizetype maxHeaderBytes = 64 * 1024;
    static constexpr qsizetype defaultMaxBodyBytes = 16 * 1024 * 1024;

    explicit HttpServer(QObject *parent = nullptr);

    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    void close() { m_server.close(); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    void setWebSocketServer(QWebSocketServer *ws) { m_ws = ws; }
    void setMaxBodyBytes(qsizetype bytes) { m_maxBody = bytes; }
    // Serves HTTPS (and WSS through the WebSocket hand-over) on the same port from now on.
    void setTls(const QSslConfiguration &config) { m_server.setTls(config); }
    bool tlsEnabled() const { return m_server.tlsEnabled(); }

    static QByteArray reasonPhrase(int status);

private:
    void onNewConnection();
    void onReadable(QTcpSocket *socket);

    TlsTcpServer m_server;
    Handler m_handler;
    QPointer<QWebSocketServer> m_ws;
    qsizetype m_maxBody = defaultMaxBodyBytes;
};
