#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

class AgentController;
class AppConfig;
class MenuBarContentView;
class MenuBarLabel;
class QMenu;

// The tray item: the app's presence in the panel while no window is open.
// Icon and tooltip come from MenuBarLabel, the menu from MenuBarContentView.
class MenuBarItem : public QObject {
    Q_OBJECT
public:
    MenuBarItem(AgentController *agent, AppConfig *config, QObject *parent = nullptr);
    ~MenuBarItem() override;

    QSystemTrayIcon *trayIcon() { return &m_tray; }
    QMenu *menu() const { return m_menu.get(); }
    MenuBarLabel *label() const { return m_label.get(); }
    MenuBarContentView *content() const { return m_content.get(); }
    void show();

Q_SIGNALS:
    void openMainWindowRequested();
    void accessoryPolicyRequested(bool accessory);
    void quitRequested();

private:
    QSystemTrayIcon m_tray;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<MenuBarLabel> m_label;
    std::unique_ptr<MenuBarContentView> m_content;
};
