#pragma once

#include <QObject>
#include <QString>

// One viewer connection to a remote device. (Negotiation and media come with the session work.)
class RemoteSession : public QObject {
    Q_OBJECT
public:
    RemoteSession(const QString &targetId, const QString &passcode, const QString &targetName,
                  QObject *parent = nullptr);

    // 8 lower-case hexadecimal characters from a random UUID.
    static QString makeSid();

    QString sid() const { return m_sid; }
    QString targetId() const { return m_targetId; }
    QString targetName() const { return m_targetName; }
    bool isClosed() const { return m_closed; }

    void start();
    void close();

Q_SIGNALS:
    void closed();

private:
    QString m_sid;
    QString m_targetId;
    QString m_passcode;
    QString m_targetName;
    bool m_closed = false;
};
