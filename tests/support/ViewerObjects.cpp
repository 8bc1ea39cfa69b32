#include "support/ViewerObjects.h"

#include "config/AppConfig.h"
#include "config/Paths.h"
#include "media/PeerConnectionFactory.h"
#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/SharedSignalingPort.h"
#include "rendezvous/Signaling.h"
#include "session/RemoteSession.h"
#include "session/SessionStore.h"
#include "support/DevicePeers.h"
#include "support/WsSignalingPort.h"

#include <QTest>

ViewerObjects::ViewerObjects(const QString &settingsFile)
    : m_config(std::make_unique<AppConfig>(settingsFile.isEmpty() ? Paths::settingsFile() : settingsFile)),
      m_trust(std::make_unique<ServerTrust>()), m_api(std::make_unique<Api>(m_config.get(), m_trust.get())),
      m_signaling(std::make_unique<Signaling>(m_config.get(), m_trust.get())),
      m_factory(std::make_unique<PeerConnectionFactory>()),
      m_port(std::make_shared<SharedSignalingPort>(m_signaling.get(), m_api.get(), m_trust.get())),
      m_store(std::make_unique<SessionStore>(context())) {}

ViewerObjects::~ViewerObjects() {
    // Sessions first, then the connections they retired.
    m_store.reset();
    if (m_factory)
        m_factory->waitForRetired();
}

SessionContext ViewerObjects::context(std::shared_ptr<SignalingPort> port) const {
    return SessionContext{m_config.get(), m_factory.get(), port ? std::move(port) : m_port};
}

QString ViewerObjects::waitForWebRtc(int timeoutMs) {
    std::optional<QString> outcome;
    QObject context;
    m_factory->whenReady(&context, [&outcome](const QString &error) { outcome = error; });
    if (!QTest::qWaitFor([&] { return outcome.has_value(); }, timeoutMs))
        return QStringLiteral("WebRTC warm-up did not finish");
    return *outcome;
}

std::unique_ptr<RemoteSession> ViewerObjects::sessionTo(const DevicePeers &peers, const QString &passcode,
                                                        const QString &name) const {
    return std::make_unique<RemoteSession>(peers.deviceId(), passcode, name,
                                           context(std::make_shared<WsSignalingPort>(peers.serverUrl())));
}

std::unique_ptr<RemoteSession> ViewerObjects::connected(DevicePeers &peers, const QString &mode, const Quality &q,
                                                        int timeoutMs) {
    m_config->setVideoPref(mode);
    auto s = sessionTo(peers, peers.autoPasscode());
    s->start();
    if (!QTest::qWaitFor([&] { return s->state() == RemoteSession::State::Connected; }, timeoutMs))
        return nullptr;
    s->setQuality(q);
    return s;
}
