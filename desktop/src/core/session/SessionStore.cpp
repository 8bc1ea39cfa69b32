#include "session/SessionStore.h"

SessionStore::SessionStore(SessionContext context, QObject *parent) : QObject(parent), m_context(std::move(context)) {}

RemoteSession *SessionStore::open(const QString &targetId, const QString &passcode, const QString &name) {
    auto *session = new RemoteSession(targetId, passcode, name, m_context);
    insert(session);
    return session;
}

void SessionStore::insert(RemoteSession *session) {
    if (!session)
        return;
    const QString id = session->sid();
    if (RemoteSession *old = m_sessions.value(id); old && old != session) {
        old->close();
        old->deleteLater();
    }
    session->setParent(this);
    m_sessions.insert(id, session);
    Q_EMIT sessionsChanged();
}

void SessionStore::close(const QString &id) {
    RemoteSession *s = m_sessions.take(id);
    if (!s)
        return;
    s->close();
    s->deleteLater();
    Q_EMIT sessionsChanged();
}

void SessionStore::closeAll() {
    const auto sessions = std::exchange(m_sessions, {});
    for (RemoteSession *s : sessions) {
        s->close();
        s->deleteLater();
    }
    if (!sessions.isEmpty())
        Q_EMIT sessionsChanged();
}
