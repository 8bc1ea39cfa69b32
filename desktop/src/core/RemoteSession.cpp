#include "RemoteSession.h"

#include <QUuid>

RemoteSession::RemoteSession(const QString &targetId, const QString &passcode, const QString &targetName,
                             QObject *parent)
    : QObject(parent), m_sid(makeSid()), m_targetId(targetId), m_passcode(passcode), m_targetName(targetName) {}

QString RemoteSession::makeSid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).remove('-').left(8).toLower();
}

void RemoteSession::start() {}

void RemoteSession::close() {
    if (m_closed)
        return;
    m_closed = true;
    Q_EMIT closed();
}
