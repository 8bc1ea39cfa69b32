#include "HttpServer.h"

#include <QTcpSocket>
#include <QWebSocketServer>

HttpResponder::HttpResponder(QTcpSocket *socket, QObject *parent) : QObject(parent), m_socket(socket) {
    connect(socket, &QTcpSocket::disconnected, this, &HttpResponder::disconnected);
}

bool HttpResponder::isOpen() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }

void HttpResponder::respond(int status, const QByteArray &body, const QByteArray &contentType,
                            const QList<QPair<QByteArray, QByteArray>> &extraHeaders) {
    if (m_answered || !m_socket)
        return;
    m_answered = true;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpServer::reasonPhrase(status) + "\r\n";
    if (status != 204 && status != 304) {
        if (!contentType.isEmpty())
            head += "Content-Type: " + contentType + "\r\n";
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    for (const auto &[name, value] : extraHeaders)
        head += name + ": " + value + "\r\n";
    head += "Connection: close\r\n\r\n";
    m_socket->write(head);
    if (status != 204 && status != 304)
        m_socket->write(body);
    m_socket->disconnectFromHost();
}

void HttpResponder::beginStream(int status, const QByteArray &contentType) {
    if (m_answered || !m_socket)
        return;
    m_answered = true;
    m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpServer::reasonPhrase(status) +
                    "\r\nContent-Type: " + contentType + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n");
}

bool HttpResponder::write(const QByteArray &bytes) {
    if (!isOpen())
        return false;
    // A reader that does not keep up is dropped rather than buffered without bound.
    if (m_socket->bytesToWrite() > 8 * 1024 * 1024) {
        m_socket->abort();
        return false;
    }
    return m_socket->write(bytes) == bytes.size();
}

void HttpResponder::abort() {
    m_answered = true;
    if (m_socket)
        m_socket->abort();
}

HttpServer::HttpServer(QObject *parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

bool HttpServer::listen(const QHostAddress &address, quint16 port) { return m_server.listen(address, port); }

void HttpServer::onNewConnection() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
    }
}

QByteArray HttpServer::reasonPhrase(int status) {
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void HttpServer::onReadable(QTcpSocket *socket) {
    if (socket->property("velmoHandled").toBool()) {
        // Bytes after a complete request are ignored (one request per connection).
        socket->readAll();
        return;
    }
    const QByteArray peeked = socket->peek(qMin<qint64>(socket->bytesAvailable(), maxHeaderBytes + m_maxBody + 4));
    const qsizetype headerEnd = peeked.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (peeked.size() > maxHeaderBytes) {
            socket->write("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        }
        return;
    }
    HttpRequest req;
    const QList<QByteArray> lines = peeked.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    req.method = requestLine[0];
    const QByteArray target = requestLine[1];
    const qsizetype q = target.indexOf('?');
    req.path = QString::fromUtf8(QByteArray::fromPercentEncoding(q < 0 ? target : target.left(q)));
    if (q >= 0)
        req.query = QUrlQuery(QString::fromUtf8(target.mid(q + 1)));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            req.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }

    if (m_ws && req.header("upgrade").toLower() == "websocket") {
        socket->setProperty("velmoHandled", true);
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        m_ws->handleConnection(socket);
        return;
    }

    bool okLength = true;
    const qint64 length = req.header("content-length").isEmpty() ? 0 : req.header("content-length").toLongLong(&okLength);
    if (!okLength || length < 0 || length > m_maxBody) {
        socket->setProperty("velmoHandled", true);
        socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    if (socket->bytesAvailable() < headerEnd + 4 + length)
        return; // wait for the rest of the body
    socket->read(headerEnd + 4);
    req.body = socket->read(length);
    socket->setProperty("velmoHandled", true);

    auto *responder = new HttpResponder(socket, socket);
    if (m_handler)
        m_handler(req, responder);
    else
        responder->respond(404);
}
