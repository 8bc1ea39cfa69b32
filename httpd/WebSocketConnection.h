#pragma once

#include "WebSocketFrameParser.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QTcpSocket;
struct HttpRequest;

// The server end of one WebSocket, on a connection whose upgrade request HttpServer has
// read. Unlike QWebSocket it sees every frame header, so it can hold clients to the
// protocol: an unmasked frame, a bad opcode or length, broken UTF-8 or a message over the
// cap closes the connection with the matching close code (1002, 1007, 1009) before the
// frame is acted on. Pings are answered, and a close from the peer is answered in kind.
//
// Nothing queued for the peer grows without bound: every frame, pongs included, counts
// against one limit of bytes not yet taken by the kernel, and a peer over it is dropped.
// Pongs are coalesced (RFC 6455, 5.5.3): while earlier frames still wait, only the latest
// ping is owed an answer, so a client that pings without reading costs one pong, not one per
// ping.
//
// Signals are emitted on the thread of the socket (the main thread in the servers), from
// inside the socket's readyRead.
class WebSocketConnection : public QObject {
    Q_OBJECT
public:
    // A peer that does not finish the close handshake within this time is cut off.
    static constexpr int closeTimeoutMs = 5000;
    static constexpr qint64 defaultMaxPendingWriteBytes = 4 * 1024 * 1024;

    // Answers the upgrade request on `socket` (101, or 400/426 and closed when it is not a
    // valid WebSocket handshake, then nullptr). `early` are bytes the client sent after its
    // request. The connection takes over the socket; frames are read from start() on, so
    // that the caller can connect to the signals first.
    static WebSocketConnection *accept(QTcpSocket *socket, const HttpRequest &request, const QByteArray &early,
                                       QObject *parent = nullptr);
    ~WebSocketConnection() override;

    void start();
    // Messages (and single frames) longer than this close the connection with 1009.
    void setMaxMessageBytes(qint64 bytes) { m_parser.setMaxMessageBytes(bytes); }
    // A frame sent while this much waits for the kernel is not queued: the connection is
    // dropped instead (later, from the event loop, as callers may be walking their tables).
    void setMaxPendingWriteBytes(qint64 bytes) { m_maxPendingWrite = bytes; }
    QString path() const { return m_path; }
    QHostAddress peerAddress() const;
    bool isOpen() const;

    void sendTextMessage(const QString &text);
    void ping(const QByteArray &payload = {});
    // Sends a close frame (once; 1005 sends one without a code) and ends the connection once
    // it has gone out: disconnected() comes at once when the kernel takes the frame.
    void close(int code, const QString &reason = {});
    // Drops the connection now; disconnected() comes at once.
    void abort();
    void flush();
    // Bytes queued for the peer and not yet taken by the kernel.
    qint64 bytesToWrite() const;

Q_SIGNALS:
    void textMessageReceived(const QString &text);
    void binaryMessageReceived(const QByteArray &bytes);
    void pong(const QByteArray &payload);
    // The TCP connection has ended (once).
    void disconnected();

private:
    WebSocketConnection(QTcpSocket *socket, const QString &path, const QByteArray &early, QObject *parent);
    void process();
    void sendFrame(int opcode, const QByteArray &payload);
    void onSocketGone();
    void onBytesWritten();
    void dropForBacklog();

    QPointer<QTcpSocket> m_socket;
    QString m_path;
    WebSocketFrameParser m_parser;
    QByteArray m_early;
    bool m_started = false;
    bool m_closeSent = false;
    bool m_gone = false;
    qint64 m_maxPendingWrite = defaultMaxPendingWriteBytes;
    // The payload of the latest ping not answered yet, sent once the queue has drained.
    std::optional<QByteArray> m_owedPong;
    bool m_dropping = false;
};
