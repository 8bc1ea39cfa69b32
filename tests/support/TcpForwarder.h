#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A load balancer in miniature for tests of several server instances: it listens on
// 127.0.0.1 and passes each connection on to the instance it points at now (bytes both
// ways, WebSocket upgrades included), or closes it at once while it points nowhere.
class TcpForwarder : public QObject {
    Q_OBJECT
public:
    explicit TcpForwarder(QObject *parent = nullptr);

    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }
    // 0: refuse new connections.
    void setTarget(quint16 port) { m_target = port; }
    int forwarded() const { return m_forwarded; }

private:
    void onConnection();

    QTcpServer m_server;
    quint16 m_target = 0;
    int m_forwarded = 0;
};
