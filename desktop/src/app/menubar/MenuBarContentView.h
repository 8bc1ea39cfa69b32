#pragma once

#include "protocol/agent/ControlStatus.h"

#include <QObject>
#include <QPointer>

#include <optional>

class AgentController;
class AppConfig;
class QAction;
class QMenu;

// The tray menu, rebuilt from the supervisor's state.
class MenuBarContentView : public QObject {
    Q_OBJECT
public:
    // Sessions listed one submenu each; a flood beyond this is summarised.
    static constexpr int maxSessions = 50;

    MenuBarContentView(AgentController *agent, AppConfig *config, QMenu *menu, bool loginItemOn,
                       QObject *parent = nullptr);

    static QString headline(const std::optional<ControlStatus> &st, bool running, int live);
    static QString menuTitle(const ControlSession &session);

    QMenu *menu() const;
    bool loginItemOn() const { return m_loginItemOn; }
    // Rebuilds the menu now (done on every change while the menu is closed,
    // and before it opens).
    void rebuild();
    // The action of that objectName, searched through submenus: "copyId", "copyPasscode",
    // "noSessions", "session_<sid>" (a submenu), "disconnectSession", "sharingToggle",
    // "rotatePasscode", "openWindow", "loginItem", "menuBarOnly", "quit".
    QAction *findAction(const QString &name) const;

Q_SIGNALS:
    void openWindowRequested();
    void accessoryPolicyRequested(bool accessory);
    void quitRequested();

private:
    void changed();
    void copy(const QString &value);

    QPointer<AgentController> m_agent;
    QPointer<AppConfig> m_config;
    QPointer<QMenu> m_menu;
    bool m_loginItemOn = false;
    bool m_dirty = true;
    bool m_pending = false;
};
