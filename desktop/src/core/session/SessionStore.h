#pragma once

#include "session/RemoteSession.h"

#include <QMap>
#include <QObject>
#include <QPointer>

// The open viewer sessions, keyed by session id. Sessions are owned here from
// insertion until close().
class SessionStore : public QObject {
    Q_OBJECT
public:
    explicit SessionStore(QObject *parent = nullptr);
    static SessionStore *shared();

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
    QMap<QString, RemoteSession *> m_sessions;
};
