#include "shell/VelmoRemoteApp.h"

#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "rendezvous/LocalServer.h"
#include "sharing/AskWindows.h"
#include "tray/MenuBarItem.h"
#include "sharing/NoticeBar.h"
#include "media/PeerConnectionFactory.h"
#include "sharing/ProfileWindows.h"
#include "shell/RootView.h"
#include "session/SessionStore.h"
#include "viewer/SessionWindows.h"
#include "rendezvous/Signaling.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

VelmoRemoteApp::VelmoRemoteApp(QObject *parent)
    : QObject(parent), m_config(AppConfig::shared()), m_signaling(Signaling::shared()),
      m_agent(AgentController::shared()), m_localServer(LocalServer::shared()), m_store(SessionStore::shared()) {
    // The local server's output goes to the log section with the agent's.
    connect(m_localServer, &LocalServer::logLine, m_agent, &AgentController::log);
}

VelmoRemoteApp::~VelmoRemoteApp() {
    if (m_mainWindow)
        delete m_mainWindow.data();
}

void VelmoRemoteApp::step(const QString &name) {
    if (m_observer)
        m_observer(name);
}

void VelmoRemoteApp::didFinishLaunching() {
    QApplication::setQuitOnLastWindowClosed(false);
    // The DTLS certificate and the decoders are made on a worker now, not at the first connect.
    PeerConnectionFactory::shared()->warmUp();
    setAccessoryPolicy(m_config->menuBarOnly());
    step("AskWindows.start");
    AskWindows::shared()->start();

    auto *window = new QMainWindow;
    window->setObjectName("main");
    window->setWindowTitle(QStringLiteral("Velmo Remote"));
    window->setWindowIcon(QIcon(QStringLiteral(":/velmo/velmo-remote.svg")));
    window->setMinimumSize(880, 600);
    window->resize(980, 680);
    // Closing the main window hides it; the process lives on in the tray.
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setWindowFlag(Qt::Tool, m_accessory);
    m_rootView = new RootView(window);
    window->setCentralWidget(m_rootView);
    connect(m_rootView, &RootView::shown, this, &VelmoRemoteApp::runStartupTask);
    m_mainWindow = window;

    m_menuBar = std::make_unique<MenuBarItem>(m_agent, m_config);
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
    ProfileWindows::shared()->start();
    step("AskWindows.start");
    AskWindows::shared()->start();
    step("NoticeBar.start");
    NoticeBar::shared()->start();
    step("Signaling.connect");
    // A failure is dropped: nothing is shown and nothing retried here.
    m_signaling->connect(this, [](bool) {});
}

void VelmoRemoteApp::handleReopen() {
    // With any window of ours on screen (a session window, a prompt, the main
    // window) launching again changes nothing.
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->isWindow() && !w->windowFlags().testFlag(Qt::Popup))
            return;
    setAccessoryPolicy(false);
    if (m_mainWindow) {
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
    SessionWindows::shared()->setSkipTaskbar(accessory);
}

void VelmoRemoteApp::willTerminate() {
    if (m_terminated)
        return;
    m_terminated = true;
    step("NoticeBar.stop");
    NoticeBar::shared()->stop();
    step("ProfileWindows.closeAll");
    ProfileWindows::shared()->closeAll();
    step("AskWindows.closeAll");
    AskWindows::shared()->closeAll();
    step("SessionStore.closeAll");
    m_store->closeAll();
    step("AgentController.terminateAgentSync");
    m_agent->terminateAgentSync();
    // Only a server this application started is ended.
    m_localServer->terminateSync();
}
