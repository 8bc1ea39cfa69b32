#pragma once

#include <QMainWindow>
#include <QObject>
#include <QPointer>

#include "shell/RootView.h"

#include <functional>
#include <memory>

class AgentController;
class Api;
class AppConfig;
class AskWindows;
class LocalServer;
class MenuBarItem;
class NoticeBar;
class PeerConnectionFactory;
class ProfileWindows;
class ServerTrust;
class SessionStore;
class SessionWindows;
class Signaling;
class SignalingPort;

// The application object and its delegate, and the composition root: it creates the
// objects the whole application shares (settings, server trust, REST and signaling
// clients, WebRTC factory, session store, agent supervisor, local server, the window
// groups) and hands each view the ones it uses. Nothing below looks them up by itself.
// Also the main window, the tray item, start-up and shutdown. Main thread.
class VelmoRemoteApp : public QObject {
    Q_OBJECT
public:
    // The settings file and data directory of the user (Paths).
    explicit VelmoRemoteApp(QObject *parent = nullptr);
    ~VelmoRemoteApp() override;

    AppConfig *config() const { return m_config.get(); }
    ServerTrust *trust() const { return m_trust.get(); }
    Api *api() const { return m_api.get(); }
    Signaling *signaling() const { return m_signaling.get(); }
    PeerConnectionFactory *peerConnectionFactory() const { return m_factory.get(); }
    SessionStore *store() const { return m_store.get(); }
    AgentController *agent() const { return m_agent.get(); }
    LocalServer *localServer() const { return m_localServer.get(); }
    SessionWindows *sessionWindows() const { return m_sessionWindows.get(); }
    AskWindows *askWindows() const { return m_askWindows.get(); }
    ProfileWindows *profileWindows() const { return m_profileWindows.get(); }
    NoticeBar *noticeBar() const { return m_noticeBar.get(); }
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

    // In dependency order: each is destroyed before what it uses.
    std::unique_ptr<AppConfig> m_config;
    std::unique_ptr<ServerTrust> m_trust;
    std::unique_ptr<Api> m_api;
    std::unique_ptr<Signaling> m_signaling;
    std::unique_ptr<PeerConnectionFactory> m_factory;
    std::shared_ptr<SignalingPort> m_port;
    std::unique_ptr<SessionStore> m_store;
    std::unique_ptr<AgentController> m_agent;
    std::unique_ptr<LocalServer> m_localServer;
    std::unique_ptr<SessionWindows> m_sessionWindows;
    std::unique_ptr<AskWindows> m_askWindows;
    std::unique_ptr<ProfileWindows> m_profileWindows;
    std::unique_ptr<NoticeBar> m_noticeBar;
    QPointer<QMainWindow> m_mainWindow;
    QPointer<RootView> m_rootView;
    std::unique_ptr<MenuBarItem> m_menuBar;
    bool m_accessory = false;
    bool m_terminated = false;
    std::function<void(const QString &)> m_observer;
};
