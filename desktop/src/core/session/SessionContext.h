#pragma once

#include <memory>

class AppConfig;
class PeerConnectionFactory;
class SignalingPort;

// What every viewer session is built on: the settings it starts from and updates (volume,
// quality, video path, recents), the WebRTC factory and the signaling port. The
// application's composition root (or a test) hands these in; the pointers are not owned
// and outlive the sessions.
struct SessionContext {
    AppConfig *config = nullptr;
    PeerConnectionFactory *factory = nullptr;
    std::shared_ptr<SignalingPort> port;
};
