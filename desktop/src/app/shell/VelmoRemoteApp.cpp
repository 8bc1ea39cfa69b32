#include "shell/VelmoRemoteApp.h"

#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "media/PeerConnectionFactory.h"
#include "menubar/MenuBarItem.h"
#include "rendezvous/Api.h"
#include "rendezvous/LocalServer.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/SharedSignalingPort.h"
#include "rendezvous/Signaling.h"
#include "session/SessionStore.h"
#include "sharing/AskWindows.h"
#include "sharing/HostPanelView.h"
#include "sharing/NoticeBar.h"
#include "sharing/ProfileWindows.h"
#include "shell/RootView.h"
#include "shell/SettingsPanelView.h"
#include "viewer/ConnectView.h"
#include "viewer/SessionWindows.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

VelmoRemoteApp::VelmoRemoteApp(QObject *parent)
    : QObject(parent), m_config(std::make_unique<AppConfig>(Paths::settingsFile())),
      m_trust(std::make_unique<ServerTrust>()), m_api(std::make_unique<Api>(m_config.get(), m_trust.get())),
      m_signaling(std::make_unique<Signaling>(m_config.get(), m_trust.get())),
      m_factory(std::make_unique<PeerConnectionFactory>()),
      m_port(std::make_shared<SharedSignalingPort>(m_signaling.get(), m_api.get(), m_trust.get())),
      m_store(std::make_unique<SessionStore>(SessionContext{m_config.get(), m_factory.get(), m_port})),
      m_agent(std::make_unique<AgentController>(m_config.get())),
      m_localServer(std::make_unique<LocalServer>(Paths::dataDir())),
      m_sessionWindows(std::make_unique<SessionWindows>(m_store.get(), m_config.get())),
      m_askWindows(std::make_unique<AskWindows>()), m_profileWindows(std::make_unique<ProfileWindows>()),
      m_noticeBar(std::make_unique<NoticeBar>()) {
    // The local server's output goes to the log section with the agent's.
    connect(m_localServer.get(), &LocalServer::logLine, m_agent.get(), &AgentController::log);
}

VelmoRemoteApp::~VelmoRemoteApp() {
    // The views go before the objects they show.
    if (m_mainWindow)
        delete m_mainWindow.data();
    m_menuBar.reset();
}

void VelmoRemoteApp::step(const QString &name) {
    if (m_observer)
        m_observer(name);
}

void VelmoRemoteApp::didFinishLaunching() {
    QApplication::setQuitOnLastWindowClosed(false);
    // The DTLS certificate and the decoders are made on a worker now, not at the first connect.
    m_factory->warmUp();
    setAccessoryPolicy(m_config->menuBarOnly());
    step("AskWindows.start");
    m_askWindows->start(m_agent.get());

    auto *window = new QMainWindow;
    window->setObjectName("main");
    window->setWindowTitle(QStringLiteral("Velmo Remote"));
    window->setWindowIcon(QIcon(QStringLiteral(":/velmo/velmo-remote.svg")));
    window->setMinimumSize(880, 600);
    window->resize(980, 680);
    // Closing the main window hides it; the process lives on in the tray.
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setWindowFlag(Qt::Tool, m_accessory);
    SessionWindows *sessionWindows = m_sessionWindows.get();
    auto *hostPanel = new HostPanelView(m_agent.get(), m_config.get(), m_localServer.get(), m_trust.get());
    auto *connectPanel = new ConnectView(m_config.get(), m_signaling.get(), m_api.get(), m_trust.get(), m_store.get(),
                                         [sessionWindows](const QString &sid) { sessionWindows->open(sid); });
    auto *settingsPanel = new SettingsPanelView(m_config.get(), m_agent.get(), m_localServer.get(), m_signaling.get());
    m_rootView = new RootView(hostPanel, connectPanel, settingsPanel, window);
    window->setCentralWidget(m_rootView);
    connect(m_rootView, &RootView::shown, this, &VelmoRemoteApp::runStartupTask);
    m_mainWindow = window;

    m_menuBar = std::make_unique<MenuBarItem>(m_agent.get(), m_config.get());
    connect(m_menuBar.get(), &MenuBarItem::openMainWindowRequested, this, &VelmoRemoteApp::openMainWindow);
    connect(m_menuBar.get(), &MenuBarItem::accessoryPolicyRequested, this, &VelmoRemoteApp::setAccessoryPolicy);
    connect(m_menuBar.get(), &MenuBarItem::quitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    m_menuBar->show();

    window->show();
}

void VelmoRemoteApp::runStartupTask() {
    // The agent and the signaling socket need the server. When it is the default local address
    // and nothing answers there, the bundled server is started first and the steps run once it
    // listens (or failed to); in every other case they run at once.
    const QString server = m_config->server();
    m_localServer->ensure(server, this, [this, server] { runStartupSteps(server); });
}

void VelmoRemoteApp::runStartupSteps(const QString &server) {
    // Each step does nothing when its service already runs, so a second show is harmless.
    step("AgentController.start");
    m_agent->start(server);
    step("ProfileWindows.start");
    m_profileWindows->start(m_agent.get());
    step("AskWindows.start");
    m_askWindows->start(m_agent.get());
    step("NoticeBar.start");
    m_noticeBar->start(m_agent.get());
    step("Signaling.connect");
    // A failure is dropped: nothing is shown and nothing retried here.
    m_signaling->connect(this, [](bool) {});
}

void VelmoRemoteApp::handleReopen() {
    // Launching again is how a user gets the window back from the tray or from a
    // minimised state: the main window comes forward whatever else is on screen (the
    // notice bar and profile windows are always on screen during a session).
    setAccessoryPolicy(false);
    if (m_mainWindow) {
        if (m_mainWindow->isMinimized())
            m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
        m_mainWindow->show();
        m_mainWindow->raise();
        m_mainWindow->activateWindow();
    }
}

void VelmoRemoteApp::openMainWindow() {
    // Shown in the taskbar even in menu-bar-only mode; the setting stays as it is.
    setAccessoryPolicy(false);
    if (m_mainWindow) {
        m_mainWindow->show();
        m_mainWindow->raise();
        m_mainWindow->activateWindow();
    }
}

void VelmoRemoteApp::setAccessoryPolicy(bool accessory) {
    if (m_accessory == accessory)
        return;
    m_accessory = accessory;
    if (m_mainWindow) {
        const bool visible = m_mainWindow->isVisible();
        m_mainWindow->setWindowFlag(Qt::Tool, accessory);
        if (visible)
            m_mainWindow->show();
    }
    m_sessionWindows->setSkipTaskbar(accessory);
}

void VelmoRemoteApp::willTerminate() {
    if (m_terminated)
        return;
    m_terminated = true;
    step("NoticeBar.stop");
    m_noticeBar->stop();
    step("ProfileWindows.closeAll");
    m_profileWindows->closeAll();
    step("AskWindows.closeAll");
    m_askWindows->closeAll();
    step("SessionStore.closeAll");
    m_store->closeAll();
    step("AgentController.terminateAgentSync");
    m_agent->terminateAgentSync();
    // Only a server this application started is ended.
    m_localServer->terminateSync();
}
