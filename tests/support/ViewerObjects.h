#pragma once

#include "config/Quality.h"
#include "session/SessionContext.h"

#include <QString>

#include <memory>

class Api;
class AppConfig;
class DevicePeers;
class PeerConnectionFactory;
class RemoteSession;
class ServerTrust;
class SessionStore;
class Signaling;
class SignalingPort;

// The viewer's shared objects wired the way VelmoRemoteApp wires them, for a test that
// plays the composition root: settings, server trust, REST and signaling clients, the
// WebRTC factory, the shared signaling port and a session store. Main thread; create it
// after the QApplication.
class ViewerObjects {
public:
    // The settings file defaults to the user's (the test's private HOME).
    explicit ViewerObjects(const QString &settingsFile = QString());
    ~ViewerObjects();

    AppConfig *config() const { return m_config.get(); }
    ServerTrust *trust() const { return m_trust.get(); }
    Api *api() const { return m_api.get(); }
    Signaling *signaling() const { return m_signaling.get(); }
    PeerConnectionFactory *factory() const { return m_factory.get(); }
    std::shared_ptr<SignalingPort> port() const { return m_port; }
    SessionStore *store() const { return m_store.get(); }

    // A session context on this config and factory; the shared port unless another is given
    // (a test's own line to a peer).
    SessionContext context(std::shared_ptr<SignalingPort> port = {}) const;

    // Waits for the WebRTC warm-up: "" once ready, else its error (or that it took too long).
    QString waitForWebRtc(int timeoutMs = 20000);
    // A session (not started) to the peers' device over a signaling socket of its own.
    std::unique_ptr<RemoteSession> sessionTo(const DevicePeers &peers, const QString &passcode,
                                             const QString &name = QStringLiteral("Test device")) const;
    // A started session in video `mode` with the peers' automatic passcode, asked for `q`
    // once connected; nullptr when it is not connected within `timeoutMs`.
    std::unique_ptr<RemoteSession> connected(DevicePeers &peers, const QString &mode, const Quality &q,
                                             int timeoutMs = 20000);

private:
    std::unique_ptr<AppConfig> m_config;
    std::unique_ptr<ServerTrust> m_trust;
    std::unique_ptr<Api> m_api;
    std::unique_ptr<Signaling> m_signaling;
    std::unique_ptr<PeerConnectionFactory> m_factory;
    std::shared_ptr<SignalingPort> m_port;
    std::unique_ptr<SessionStore> m_store;
};
