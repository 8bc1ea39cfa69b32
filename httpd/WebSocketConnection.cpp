#include "WebSocketConnection.h"

#include "HttpServer.h"

#include <QCryptographicHash>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <utility>

namespace {

enum Opcode : int { Text = 0x1, Close = 0x8, Ping = 0x9, Pong = 0xA };

// Read from the socket at most this much at a time: the parser then holds about one frame.
constexpr qint64 readChunk = 64 * 1024;

bool hasToken(const QByteArray &list, const QByteArray &token) {
    for (const QByteArray &item : list.split(',')) {
        if (item.trimmed().toLower() == token)
            return true;
    }
    return false;
}

void refuseUpgrade(QTcpSocket *socket, int status, const QByteArray &extra = {}) {
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpServer::reasonPhrase(status) + "\r\n" + extra +
                  "Content-Length: 0\r\nConnection: close\r\n\r\n");
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    QTimer::singleShot(HttpResponder::lingerMs, socket, &QTcpSocket::abort);
}

} // namespace

WebSocketConnection *WebSocketConnection::accept(QTcpSocket *socket, const HttpRequest &request,
                                                 const QByteArray &early, QObject *parent) {
    const QByteArray key = request.header("sec-websocket-key");
    const bool keyOk =
        QByteArray::fromBase64Encoding(key, QByteArray::AbortOnBase64DecodingErrors).decoded.size() == 16;
    if (request.method != "GET" || request.header("upgrade").toLower() != "websocket" ||
        !hasToken(request.header("connection"), "upgrade") || !keyOk) {
        refuseUpgrade(socket, 400);
        return nullptr;
    }
    if (request.header("sec-websocket-version") != "13") {
        refuseUpgrade(socket, 426, "Sec-WebSocket-Version: 13\r\n");
        return nullptr;
    }
    const QByteArray accept =
        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Accept: " +
                  accept + "\r\n\r\n");
    return new WebSocketConnection(socket, request.path, early, parent);
}

WebSocketConnection::WebSocketConnection(QTcpSocket *socket, const QString &path, const QByteArray &early,
                                         QObject *parent)
    : QObject(parent), m_socket(socket), m_path(path), m_early(early) {
    // The socket lives as long as this object and no longer.
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &WebSocketConnection::process);
    connect(socket, &QTcpSocket::disconnected, this, &WebSocketConnection::onSocketGone);
    connect(socket, &QTcpSocket::bytesWritten, this, &WebSocketConnection::onBytesWritten);
    connect(socket, &QObject::destroyed, this, &WebSocketConnection::onSocketGone);
}

WebSocketConnection::~WebSocketConnection() {
    m_gone = true;
    if (m_socket)
        m_socket->disconnect(this);
}

void WebSocketConnection::start() {
    if (m_started)
        return;
    m_started = true;
    m_parser.append(m_early);
    m_early.clear();
    process();
}

QHostAddress WebSocketConnection::peerAddress() const {
    return m_socket ? m_socket->peerAddress() : QHostAddress();
}

bool WebSocketConnection::isOpen() const {
    return m_socket && !m_gone && !m_closeSent && m_socket->state() == QAbstractSocket::ConnectedState;
}

qint64 WebSocketConnection::bytesToWrite() const {
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void WebSocketConnection::flush() {
    if (m_socket)
        m_socket->flush();
}

void WebSocketConnection::abort() {
    if (m_socket)
        m_socket->abort(); // emits disconnected() now when the socket was connected
    onSocketGone();
}

void WebSocketConnection::onSocketGone() {
    if (m_gone)
        return;
    m_gone = true;
    Q_EMIT disconnected();
}

void WebSocketConnection::onBytesWritten() {
    // The owed pong goes out once everything before it has reached the kernel.
    if (m_owedPong && m_socket && m_socket->bytesToWrite() == 0 && !m_closeSent) {
        const QByteArray payload = *std::exchange(m_owedPong, std::nullopt);
        sendFrame(Pong, payload);
    }
}

void WebSocketConnection::dropForBacklog() {
    if (m_dropping)
        return;
    m_dropping = true;
    m_owedPong.reset();
    QMetaObject::invokeMethod(this, &WebSocketConnection::abort, Qt::QueuedConnection);
}

void WebSocketConnection::sendFrame(int opcode, const QByteArray &payload) {
    if (!m_socket || m_gone || m_dropping)
        return;
    // A peer that stops reading is dropped rather than buffered for.
    if (m_maxPendingWrite > 0 && m_socket->bytesToWrite() > m_maxPendingWrite) {
        dropForBacklog();
        return;
    }
    // Server frames go out unmasked, each message in one final frame.
    QByteArray frame;
    const qsizetype n = payload.size();
    frame.reserve(n + 10);
    frame.append(char(0x80 | opcode));
    if (n < 126) {
        frame.append(char(n));
    } else if (n <= 0xFFFF) {
        frame.append(char(126));
        frame.append(char(n >> 8));
        frame.append(char(n & 0xFF));
    } else {
        frame.append(char(127));
        char length[8];
        qToBigEndian<quint64>(quint64(n), length);
        frame.append(length, 8);
    }
    frame.append(payload);
    m_socket->write(frame);
}

void WebSocketConnection::sendTextMessage(const QString &text) {
    if (isOpen())
        sendFrame(Text, text.toUtf8());
}

void WebSocketConnection::ping(const QByteArray &payload) {
    if (isOpen())
        sendFrame(Ping, payload.left(125));
}

void WebSocketConnection::close(int code, const QString &reason) {
    if (!m_socket || m_gone)
        return;
    if (!m_closeSent) {
        m_closeSent = true;
        m_owedPong.reset(); // nothing but the close goes out after it
        // 1005 stands for "no code": the frame then carries nothing.
        QByteArray payload(code == 1005 ? 0 : 2, Qt::Uninitialized);
        if (code != 1005)
            qToBigEndian<quint16>(quint16(code), payload.data());
        // A control frame holds 125 bytes: the reason is cut on a character boundary.
        QByteArray utf8 = reason.toUtf8();
        if (utf8.size() > 123) {
            qsizetype cut = 123;
            while (cut > 0 && (uchar(utf8[cut]) & 0xC0) == 0x80)
                --cut;
            utf8.truncate(cut);
        }
        sendFrame(Close, code == 1005 ? payload : payload + utf8);
        // Into the kernel now: the connection then ends at once, and the process may exit
        // right after a shutdown.
        m_socket->flush();
        QTimer::singleShot(closeTimeoutMs, this, [this] {
            if (!m_gone)
                abort();
        });
    }
    // Leaves once the queued frames have gone out; disconnected() follows (at once when
    // nothing is left to write).
    m_socket->disconnectFromHost();
}

void WebSocketConnection::process() {
    if (!m_started)
        return;
    const QPointer<WebSocketConnection> self(this);
    while (self && m_socket && !m_gone) {
        if (m_closeSent) {
            // Nothing the peer sends after the close is acted on.
            m_socket->readAll();
            return;
        }
        std::optional<WebSocketFrameParser::Event> event = m_parser.next();
        if (!event) {
            if (m_parser.failure()) {
                close(m_parser.failure(), m_parser.failureReason());
                return;
            }
            const qint64 available = m_socket->bytesAvailable();
            if (available <= 0)
                return;
            // Exactly what is there: read(n) would keep n bytes of capacity in the buffer.
            m_parser.append(m_socket->read(qMin(available, readChunk)));
            continue;
        }
        switch (event->kind) {
        case WebSocketFrameParser::Kind::Text:
            Q_EMIT textMessageReceived(event->text);
            break;
        case WebSocketFrameParser::Kind::Binary:
            Q_EMIT binaryMessageReceived(event->payload);
            break;
        case WebSocketFrameParser::Kind::Ping:
            // Coalesced: with frames still waiting, this ping's answer replaces any owed one.
            if (m_socket->bytesToWrite() > 0)
                m_owedPong = event->payload;
            else
                sendFrame(Pong, event->payload);
            break;
        case WebSocketFrameParser::Kind::Pong:
            Q_EMIT pong(event->payload);
            break;
        case WebSocketFrameParser::Kind::Close:
            // Answered with the peer's own code (none when it gave none), then the end.
            close(event->closeCode);
            return;
        }
    }
}
