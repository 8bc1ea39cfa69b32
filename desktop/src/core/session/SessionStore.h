#pragma once

#include "session/RemoteSession.h"

#include <QMap>
#include <QObject>
#include <QPointer>

// The open viewer sessions, keyed by session id, and the one place that makes them.
// Sessions are owned here from insertion until close(). Main thread.
class SessionStore : public QObject {
    Q_OBJECT
public:
    // Sessions made by open() are built on `context`.
    explicit SessionStore(SessionContext context, QObject *parent = nullptr);

    // A new session to targetId on this store's context, inserted; its view starts it.
    RemoteSession *open(const QString &targetId, const QString &passcode, const QString &name);
    const SessionContext &context() const { return m_context; }

    QList<QString> ids() const { return m_sessions.keys(); }
    RemoteSession *session(const QString &id) const { return m_sessions.value(id); }
    bool contains(const QString &id) const { return m_sessions.contains(id); }
    int count() const { return int(m_sessions.size()); }

    // Takes ownership; the key is the session's own sid.
    void insert(RemoteSession *session);
    // Closes and removes the session under id (nothing happens for an unknown id).
    void close(const QString &id);
    void closeAll();

Q_SIGNALS:
    void sessionsChanged();

private:
    SessionContext m_context;
    QMap<QString, RemoteSession *> m_sessions;
};
