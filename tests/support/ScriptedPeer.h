#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QWebSocket>

// One WebSocket peer of the rendezvous server driven by a test: a viewer on "/ws/viewer", or a
// device on "/ws/device" that registers with a secret. It records every message it receives.
class ScriptedPeer : public QObject {
    Q_OBJECT
public:
    explicit ScriptedPeer(QObject *parent = nullptr);

    // Opens the socket and sends "register"; true once "registered" came (id() set).
    bool registerAt(const QString &wsUrl, const QString &secret, const QString &name,
                    const QString &platform = QStringLiteral("Linux"), int timeoutMs = 5000);
    // Opens the socket only.
    bool open(const QString &wsUrl, int timeoutMs = 5000);

    void send(const QJsonObject &message);
    void sendText(const QString &text) { m_socket.sendTextMessage(text); }
    void sendBinary(const QByteArray &bytes) { m_socket.sendBinaryMessage(bytes); }
    void close() { m_socket.close(); }

    // Waits until a message of this type (and sid, when given) has arrived; returns it
    // and removes it from the received list.
    std::optional<QJsonObject> take(const QString &type, const QString &sid = {}, int timeoutMs = 5000);

    // True when no message of this type arrives within `waitMs` (for "nothing is relayed").
    bool nothing(const QString &type, int waitMs = 300);

    QString id() const { return m_id; }
    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QList<QJsonObject> &received() { return m_received; }
    int closeCode() const { return m_closeCode; }
    bool closed() const { return m_closed; }
    QWebSocket &socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QList<QJsonObject> m_received;
    QString m_id;
    int m_closeCode = -1;
    bool m_closed = false;
};
