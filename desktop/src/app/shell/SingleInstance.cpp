#include "shell/SingleInstance.h"

#include <QLocalSocket>
#include <QStandardPaths>

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

QString SingleInstance::defaultName() {
    // The per-user runtime folder (0700): in the shared temporary folder another account
    // could take the name first and keep the application from starting. Qt falls back to
    // a private folder of its own making when XDG_RUNTIME_DIR is not set.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return dir + QStringLiteral("/velmo-remote-%1.sock").arg(getuid());
}

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
