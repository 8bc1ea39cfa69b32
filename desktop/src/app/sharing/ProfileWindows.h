#pragma once

#include "protocol/agent/ControlSession.h"

#include <QHash>
#include <QMap>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <optional>

class AgentController;
class ProfileWindow;

// One window per authenticated viewer, in the lower-right corner.
class ProfileWindows : public QObject {
    Q_OBJECT
public:
    // A flood of sessions opens this many windows; the rest follow as these go.
    static constexpr int maxOpen = 24;

    explicit ProfileWindows(QObject *parent = nullptr);
    ~ProfileWindows() override;

    bool isRunning() const { return m_running; }
    // Follows the agent's status; does nothing when already following.
    void start(AgentController *agent);
    void closeAll();

    int count() const { return int(m_windows.size()); }
    ProfileWindow *window(const QString &sid) const;
    QStringList openSids() const { return m_windows.keys(); }

private:
    void onStatus();
    void sync(const QList<ControlSession> &sessions);
    ProfileWindow *makeWindow(const QString &sid, int index);
    void windowWillClose(ProfileWindow *w);

    QPointer<AgentController> m_agent;
    QMetaObject::Connection m_subscription;
    QMap<QString, QPointer<ProfileWindow>> m_windows;
    QHash<ProfileWindow *, QString> m_sids;
    std::optional<QStringList> m_lastSids;
    bool m_running = false;
};
