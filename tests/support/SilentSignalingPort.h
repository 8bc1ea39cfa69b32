#pragma once

#include "rendezvous/SignalingPort.h"

// A rendezvous server that never greets: a session on it stays in "connecting", which
// widget tests use to show a session window without any peer.
class SilentSignalingPort : public SignalingPort {
public:
    void connect(QObject *, std::function<void(Result<std::monostate>)>) override {}
    void turnCredentials(QObject *, std::function<void(Result<Ice>)>) override {}
    void send(const QJsonObject &) override {}
    void attach(const QString &, std::function<void(const QJsonObject &)>) override {}
    void detach(const QString &) override {}
};
