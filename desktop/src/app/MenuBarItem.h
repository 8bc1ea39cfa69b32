#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

class QMenu;

// The tray item: the app's presence in the panel while no window is open.
class MenuBarItem : public QObject {
    Q_OBJECT
public:
    explicit MenuBarItem(QObject *parent = nullptr);
    ~MenuBarItem() override;

    QSystemTrayIcon *trayIcon() { return &m_tray; }
    QMenu *menu() const { return m_menu.get(); }
    void show();

Q_SIGNALS:
    void openMainWindowRequested();
    void quitRequested();

private:
    QSystemTrayIcon m_tray;
    std::unique_ptr<QMenu> m_menu;
};
