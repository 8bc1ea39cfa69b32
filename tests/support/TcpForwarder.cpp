#include "support/TcpForwarder.h"

#include <QHostAddress>

TcpForwarder::TcpForwarder(QObject *parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &TcpForwarder::onConnection);
}

bool TcpForwarder::listen() {
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void TcpForwarder::onConnection() {
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        if (m_target == 0) {
            client->abort();
            continue;
        }
        ++m_forwarded;
        auto *upstream = new QTcpSocket(client);
        QPointer<QTcpSocket> c(client);
        connect(upstream, &QTcpSocket::connected, client, [c, upstream] {
            if (c && c->bytesAvailable())
                upstream->write(c->readAll());
        });
        connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
            if (upstream->state() == QAbstractSocket::ConnectedState)
                upstream->write(client->readAll());
        });
        connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] { client->write(upstream->readAll()); });
        // Either side ending ends the other: a killed instance drops its clients as it would
        // behind a real balancer.
        connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
        connect(upstream, &QTcpSocket::errorOccurred, client, [client] { client->abort(); });
        connect(client, &QTcpSocket::disconnected, upstream, [upstream] { upstream->abort(); });
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
    }
}
