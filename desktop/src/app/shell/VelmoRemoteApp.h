#pragma once

#include <QObject>
#include <QMainWindow>
#include <QPointer>

#include "shell/RootView.h"

#include <functional>
#include <memory>

class AgentController;
class AppConfig;
class LocalServer;
class MenuBarItem;


class SessionStore;
class Signaling;

// The application object and its delegate: the shared objects, the main
// window, the tray item, start-up and shutdown.
class VelmoRemoteApp : public QObject {
    Q_OBJECT
public:
    explicit VelmoRemoteApp(QObject *parent = nullptr);
    ~VelmoRemoteApp() override;

    AppConfig *config() const { return m_config; }
    Signaling *signaling() const { return m_signaling; }
    AgentController *agent() const { return m_agent; }
    LocalServer *localServer() const { return m_localServer; }
    SessionStore *store() const { return m_store; }
    QMainWindow *mainWindow() const { return m_mainWindow; }
    RootView *rootView() const { return m_rootView; }
    MenuBarItem *menuBarItem() const { return m_menuBar.get(); }

    // Activation policy, the approval windows; then the main window and tray item.
    void didFinishLaunching();
    // A second launch or a tray request while no window may be visible.
    void handleReopen();
    // The tray's "open window": regular policy, main window shown and raised.
    void openMainWindow();
    // The shutdown sequence; safe to call more than once.
    void willTerminate();
    // Accessory mode keeps the windows off the taskbar.
    void setAccessoryPolicy(bool accessory);
    bool accessoryPolicy() const { return m_accessory; }

    // Called with the name of each start-up and shutdown step as it runs.
    void setStepObserver(std::function<void(const QString &)> observer) { m_observer = std::move(observer); }

private:
    void runStartupTask();
    void runStartupSteps(const QString &server);
    void step(const QString &name);

    AppConfig *m_config;
    Signaling *m_signaling;
    AgentController *m_agent;
    LocalServer *m_localServer;
    SessionStore *m_store;
    QPointer<QMainWindow> m_mainWindow;
    QPointer<RootView> m_rootView;
    std::unique_ptr<MenuBarItem> m_menuBar;
    bool m_accessory = false;
    bool m_terminated = false;
    std::function<void(const QString &)> m_observer;
};
