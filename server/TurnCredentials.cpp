#include "TurnCredentials.h"

#include <QJsonArray>

#include <openssl/evp.h>
#include <openssl/hmac.h>

TurnCredentials::TurnCredentials(QStringList stunUrls, QStringList turnUrls, QString secret, qint64 ttlSeconds)
    : m_stunUrls(std::move(stunUrls)), m_turnUrls(std::move(turnUrls)), m_secret(std::move(secret)),
      m_ttlSeconds(ttlSeconds) {}

QString TurnCredentials::credentialFor(const QString &secret, const QString &username) {
    const QByteArray key = secret.toUtf8();
    const QByteArray user = username.toUtf8();
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLen = 0;
    HMAC(EVP_sha1(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char *>(user.constData()),
         size_t(user.size()), mac, &macLen);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(mac), int(macLen)).toBase64());
}

QJsonObject TurnCredentials::issue(qint64 nowSecs) const {
    QJsonArray urls;
    for (const QString &u : m_stunUrls + m_turnUrls)
        urls.append(u);
    QJsonObject o{{"urls", urls}, {"username", QJsonValue::Null}, {"credential", QJsonValue::Null}};
    if (!m_secret.isEmpty()) {
        const QString username = QString::number(nowSecs + m_ttlSeconds) + QStringLiteral(":velmo");
        o.insert("username", username);
        o.insert("credential", credentialFor(m_secret, username));
    }
    return o;
}
