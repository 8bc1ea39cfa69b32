#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The ICE servers handed out by POST /api/v1/turn-credentials. With a shared secret (coturn's
// use-auth-secret / static-auth-secret) the credentials are time-limited in the TURN REST
// scheme: username "<expiry unix time>:velmo", credential base64(HMAC-SHA1(secret, username)).
class TurnCredentials {
public:
    TurnCredentials(QStringList stunUrls, QStringList turnUrls, QString secret, qint64 ttlSeconds);

    // {"urls":[stun…, turn…],"username":…,"credential":…}; both null without a secret.
    QJsonObject issue(qint64 nowSecs) const;
    // base64(HMAC-SHA1(secret, username)).
    static QString credentialFor(const QString &secret, const QString &username);

private:
    QStringList m_stunUrls;
    QStringList m_turnUrls;
    QString m_secret;
    qint64 m_ttlSeconds;
};
