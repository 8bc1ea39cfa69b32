#include "HttpServer.h"

#include <QTcpSocket>

#include <sys/resource.h>
#include <sys/socket.h>

namespace {

// Descriptors kept back from connections: listening sockets, the database, logs,
// pipes, and whatever the libraries open.
constexpr int descriptorReserve = 128;

QByteArray statusOnly(int status) {
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpServer::reasonPhrase(status) +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// Position just past the blank line that ends the header ("\r\n\r\n" or bare "\n\n",
// and their mixtures), looking only at bytes from `from`; -1 when there is none yet.
qsizetype headerEnd(const QByteArray &b, qsizetype from) {
    const char *p = b.constData();
    const qsizetype n = b.size();
    for (qsizetype i = qMax<qsizetype>(0, from); i < n; ++i) {
        if (p[i] != '\n')
            continue;
        if (i + 1 < n && p[i + 1] == '\n')
            return i + 2;
        if (i + 2 < n && p[i + 1] == '\r' && p[i + 2] == '\n')
            return i + 3;
    }
    return -1;
}

} // namespace

HttpResponder::HttpResponder(QTcpSocket *socket, QObject *parent) : QObject(parent), m_socket(socket) {
    connect(socket, &QTcpSocket::disconnected, this, &HttpResponder::disconnected);
}

bool HttpResponder::isOpen() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

qint64 HttpResponder::pendingBytes() const {
    return m_socket ? m_socket->bytesToWrite() : 0;
}

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
    // A client that never reads its answer would otherwise hold the connection for ever.
    QTimer::singleShot(lingerMs, m_socket.data(), &QTcpSocket::abort);
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
    // Out of descriptors (or another resource) QTcpServer stops accepting for good;
    // try again shortly instead, once connections have gone.
    connect(&m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        m_server.pauseAccepting();
        QTimer::singleShot(100, this, [this] { m_server.resumeAccepting(); });
    });
    m_sweepTimer.setInterval(500);
    connect(&m_sweepTimer, &QTimer::timeout, this, &HttpServer::sweep);
    setLimits(Limits{});
}

HttpServer::~HttpServer() {
    // The sockets (children of the listener) go after this object's tables: they must
    // not report their end to it.
    for (auto it = m_conns.keyBegin(); it != m_conns.keyEnd(); ++it)
        (*it)->disconnect(this);
    m_conns.clear();
}

bool HttpServer::listen(const QHostAddress &address, quint16 port) {
    if (!m_server.listen(address, port))
        return false;
    m_sweepTimer.start();
    return true;
}

void HttpServer::setLimits(const Limits &limits) {
    m_limits = limits;
    const int budget = descriptorBudget();
    m_maxConnections = limits.maxConnections > 0 ? qMin(limits.maxConnections, budget) : budget;
}

int HttpServer::descriptorBudget() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 16384;
    const qint64 soft = qint64(rl.rlim_cur);
    return int(qBound(qint64(16), soft - descriptorReserve, qint64(1) << 20));
}

void HttpServer::raiseDescriptorLimit(int ceiling) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    rlim_t want = rl.rlim_max == RLIM_INFINITY ? rlim_t(ceiling) : qMin(rl.rlim_max, rlim_t(ceiling));
    if (want > rl.rlim_cur) {
        rl.rlim_cur = want;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

QString HttpServer::addressKey(const QHostAddress &address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    Q_IPV6ADDR a = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        a[i] = 0;
    return QHostAddress(a).toString() + QStringLiteral("/64");
}

void HttpServer::refuseNow(QTcpSocket *socket) {
    // Straight to the kernel and closed at once: a refused client must not cost a
    // descriptor for as long as it takes to read the answer.
    const QByteArray answer = statusOnly(503);
    if (socket->socketDescriptor() >= 0)
        ::send(int(socket->socketDescriptor()), answer.constData(), size_t(answer.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    socket->abort();
    socket->deleteLater();
}

void HttpServer::onNewConnection() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // Signaling is many small messages each way: never hold one back for coalescing.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QString peer = addressKey(socket->peerAddress());
        if (m_limits.maxConnectionsPerAddress > 0 && m_perAddress.value(peer) >= m_limits.maxConnectionsPerAddress) {
            refuseNow(socket);
            continue;
        }
        if (m_conns.size() >= m_maxConnections && !evictOldestPending()) {
            refuseNow(socket);
            continue;
        }
        Conn &c = m_conns[socket];
        c.peer = peer;
        c.age.start();
        c.req.peer = peer;
        ++m_perAddress[peer];
        m_pending.emplace_back(socket);
        // The request is read inside a transaction so that a WebSocket upgrade can be
        // handed over with its handshake still unread.
        socket->startTransaction();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { forget(socket); });
        connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        if (socket->bytesAvailable() > 0)
            onReadable(socket);
    }
}

void HttpServer::forget(QTcpSocket *socket) {
    const auto it = m_conns.find(socket);
    if (it == m_conns.end())
        return;
    const auto a = m_perAddress.find(it->peer);
    if (a != m_perAddress.end() && --*a <= 0)
        m_perAddress.erase(a);
    m_conns.erase(it);
}

bool HttpServer::evictOldestPending() {
    while (!m_pending.empty()) {
        QPointer<QTcpSocket> s = m_pending.front();
        m_pending.pop_front();
        if (!s)
            continue;
        const auto it = m_conns.constFind(s.data());
        if (it == m_conns.constEnd() || it->handled)
            continue;
        s->abort(); // disconnected() forgets it
        forget(s.data());
        return true;
    }
    return false;
}

void HttpServer::sweep() {
    // Oldest first: stop at the first connection still within its time.
    while (!m_pending.empty()) {
        QPointer<QTcpSocket> s = m_pending.front();
        const auto it = s ? m_conns.constFind(s.data()) : m_conns.constEnd();
        if (it == m_conns.constEnd() || it->handled) {
            m_pending.pop_front();
            continue;
        }
        if (it->age.elapsed() < m_limits.requestTimeoutMs)
            break;
        m_pending.pop_front();
        // Slow senders and promised bodies that never come. Nothing is answered: the
        // client is not reading a well-formed exchange anyway.
        s->abort();
        forget(s.data());
    }
}

QByteArray HttpServer::reasonPhrase(int status) {
    switch (status) {
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

void HttpServer::reject(QTcpSocket *socket, Conn &c, int status) {
    c.handled = true;
    if (socket->isTransactionStarted())
        socket->commitTransaction();
    socket->write(statusOnly(status));
    socket->disconnectFromHost();
    QTimer::singleShot(HttpResponder::lingerMs, socket, &QTcpSocket::abort);
}

void HttpServer::onReadable(QTcpSocket *socket) {
    const auto it = m_conns.find(socket);
    if (it == m_conns.end()) {
        socket->readAll();
        return;
    }
    Conn &c = *it;
    if (c.handled) {
        // Bytes after a complete request are ignored (one request per connection).
        socket->readAll();
        return;
    }
    if (!c.headerDone) {
        // Only the new bytes are read and scanned: a header sent a byte at a time costs
        // no more than one sent at once.
        const QByteArray fresh = socket->read(maxHeaderBytes + 1 - c.head.size());
        if (fresh.isEmpty())
            return;
        c.head += fresh;
        const qsizetype end = headerEnd(c.head, c.scanned);
        if (end < 0) {
            c.scanned = qMax<qsizetype>(0, c.head.size() - 2);
            if (c.head.size() > maxHeaderBytes)
                reject(socket, c, 431);
            return;
        }
        HttpRequest &req = c.req;
        const QList<QByteArray> lines = c.head.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.")) {
            reject(socket, c, 400);
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

        if (m_upgrade && req.header("upgrade").toLower() == "websocket") {
            c.handled = true;
            // The connection stays counted (until its socket goes) but is no longer ours to read.
            socket->commitTransaction();
            const QByteArray early = c.head.mid(end);
            c.head.clear();
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            m_upgrade(socket, req, early);
            return;
        }

        bool okLength = true;
        const QByteArray lengthText = req.header("content-length");
        c.length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&okLength);
        if (!okLength || c.length < 0 || c.length > m_maxBody) {
            reject(socket, c, 413);
            return;
        }
        socket->commitTransaction();
        c.headerDone = true;
        req.body = c.head.mid(end, c.length);
        c.head.clear();
    }
    if (c.req.body.size() < c.length)
        c.req.body += socket->read(c.length - c.req.body.size());
    if (c.req.body.size() < c.length)
        return; // wait for the rest of the body (within the request time-out)
    finishRequest(socket, c);
}

void HttpServer::finishRequest(QTcpSocket *socket, Conn &c) {
    c.handled = true;
    const HttpRequest req = std::move(c.req);
    c.req = HttpRequest{};
    auto *responder = new HttpResponder(socket, socket);
    if (m_handler)
        m_handler(req, responder);
    else
        responder->respond(404);
}
