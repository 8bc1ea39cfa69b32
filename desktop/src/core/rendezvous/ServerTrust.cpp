#include "rendezvous/ServerTrust.h"

#include <QLoggingCategory>
#include <QStringList>

Q_LOGGING_CATEGORY(lcTrust, "velmo.trust", QtInfoMsg)

namespace {

QString reason(const QSslError &e) {
    switch (e.error()) {
    case QSslError::HostNameMismatch:
        return QStringLiteral("証明書のホスト名がサーバーの名前と一致しません");
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
        return QStringLiteral("信頼できる認証局の証明書ではありません");
    case QSslError::CertificateExpired:
        return QStringLiteral("証明書の有効期限が切れています");
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("証明書がまだ有効になっていません");
    case QSslError::CertificateRevoked:
        return QStringLiteral("証明書が失効しています");
    default:
        return e.errorString();
    }
}

} // namespace

ServerTrust::ServerTrust(QObject *parent) : QObject(parent) {}

QString ServerTrust::describe(const QList<QSslError> &errors) {
    QStringList reasons;
    for (const QSslError &e : errors) {
        const QString r = reason(e);
        if (!reasons.contains(r))
            reasons << r;
    }
    if (reasons.isEmpty())
        reasons << QStringLiteral("TLS の確認に失敗しました");
    return QStringLiteral("サーバーの証明書を確認できません(") + reasons.join(QStringLiteral("、")) + u')';
}

void ServerTrust::noteFailure(const QUrl &url, const QList<QSslError> &errors) {
    const QString text = describe(errors);
    qCWarning(lcTrust).noquote() << url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery) << text;
    setFailure(text);
}

void ServerTrust::noteVerified(const QUrl &) {
    // Only the configured server is ever contacted: one that verifies now clears the text.
    setFailure(QString());
}

void ServerTrust::setFailure(const QString &text) {
    if (m_failure == text)
        return;
    m_failure = text;
    Q_EMIT failureChanged();
}
