#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

// A QTcpServer that, once given a certificate and key, hands out QSslSockets that start the
// server side of the TLS handshake as they are accepted. Callers see plain QTcpSockets that
// read and write clear text; a peer that fails the handshake is dropped. Without TLS it
// behaves as QTcpServer. Lives and runs on the thread that owns it.
class TlsTcpServer : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

    // Loads a PEM certificate (chain: the server's certificate first) and its PEM private
    // key; the error text names the file that could not be used.
    static std::optional<QSslConfiguration> loadPem(const QString &certFile, const QString &keyFile, QString *error);

    void setTls(const QSslConfiguration &config) { m_tls = config; }
    bool tlsEnabled() const { return m_tls.has_value(); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::optional<QSslConfiguration> m_tls;
};
