#pragma once

#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QUrl>

// Whether the rendezvous server's certificate could be verified. The REST client and the
// signaling socket report every TLS verification failure here (they never ignore one, so
// an https/wss server that does not verify is never talked to, and nothing falls back to
// plain text) and every verified handshake. Views show `failure` where a server that
// merely did not answer would show a generic text. Main thread only.
class ServerTrust : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString failure READ failure NOTIFY failureChanged)
public:
    explicit ServerTrust(QObject *parent = nullptr);

    // "サーバーの証明書を確認できません(…)" after a certificate did not verify; empty again
    // once a handshake verified (or when there was none).
    QString failure() const { return m_failure; }

    void noteFailure(const QUrl &url, const QList<QSslError> &errors);
    void noteVerified(const QUrl &url);

    // The user-facing text for a failed verification.
    static QString describe(const QList<QSslError> &errors);

Q_SIGNALS:
    void failureChanged();

private:
    void setFailure(const QString &text);

    QString m_failure;
};
