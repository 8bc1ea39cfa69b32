#include "TlsTcpServer.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

std::optional<QSslConfiguration> TlsTcpServer::loadPem(const QString &certFile, const QString &keyFile,
                                                       QString *error) {
    auto failWith = [error](const QString &text) {
        if (error)
            *error = text;
        return std::nullopt;
    };
    if (!QSslSocket::supportsSsl())
        return failWith(QStringLiteral("TLS is not available (no TLS backend for Qt)"));
    QFile certIn(certFile);
    if (!certIn.open(QIODevice::ReadOnly))
        return failWith(QStringLiteral("cannot read %1: %2").arg(certFile, certIn.errorString()));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certIn.readAll(), QSsl::Pem);
    if (chain.isEmpty())
        return failWith(QStringLiteral("%1 holds no PEM certificate").arg(certFile));
    QFile keyIn(keyFile);
    if (!keyIn.open(QIODevice::ReadOnly))
        return failWith(QStringLiteral("cannot read %1: %2").arg(keyFile, keyIn.errorString()));
    const QByteArray keyPem = keyIn.readAll();
    QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        return failWith(QStringLiteral("%1 holds no unencrypted PEM RSA or EC private key").arg(keyFile));

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(chain.first());
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // clients are not asked for certificates
    config.setProtocol(QSsl::TlsV1_2OrLater);
    return config;
}

void TlsTcpServer::incomingConnection(qintptr descriptor) {
    if (!m_tls) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(*m_tls);
    // A client that speaks plain HTTP, or distrusts the certificate, ends the handshake with
    // an error: drop it (later, not inside the socket's own signal).
    connect(socket, &QSslSocket::errorOccurred, socket, [socket](QAbstractSocket::SocketError) {
        if (!socket->isEncrypted())
            QMetaObject::invokeMethod(socket, &QSslSocket::abort, Qt::QueuedConnection);
    });
    socket->startServerEncryption();
    addPendingConnection(socket); // QTcpServer emits newConnection() after this returns
}
