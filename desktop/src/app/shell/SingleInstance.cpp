#include "shell/SingleInstance.h"

#include <QLocalSocket>

#include <unistd.h>

SingleInstance::SingleInstance(const QString &name, QObject *parent) : QObject(parent), m_name(name) {
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_server.nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [this, s] {
                if (s->readAll().contains("reopen"))
                    Q_EMIT reopenRequested();
                s->disconnectFromServer();
            });
        }
    });
}

QString SingleInstance::defaultName() { return QStringLiteral("velmo-remote-%1").arg(getuid()); }

bool SingleInstance::claim() {
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(500)) {
        probe.write("reopen\n");
        probe.waitForBytesWritten(500);
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answers: a socket file left by a crashed instance is stale.
    QLocalServer::removeServer(m_name);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    return m_server.listen(m_name);
}
