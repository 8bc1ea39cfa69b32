#pragma once

#include "HttpServer.h"

#include <QJsonObject>
#include <QString>

#include <functional>

class MessageBus;
class Registry;
class TurnCredentials;
struct DeviceRecord;

// The rendezvous server's REST side: /healthz, /api/v1/turn-credentials and the device
// registry under /api/v1/devices (look-ups for viewers, listing and deletion for the
// administrator). What it needs of the signaling side — who is online here, how busy it
// is, the shared look-up rate limit, closing a deleted device — it asks through Hooks.
// Main thread.
class RestApi {
public:
    struct Hooks {
        std::function<bool(const QString &id)> onlineHere;      // held by this instance
        std::function<QJsonObject()> load;                      // {"devicesOnline", "viewers"} of this instance
        std::function<bool(const QString &address)> takeLookup; // false: over the look-up rate
        std::function<void(const QString &id)> deletedByAdmin;  // the device left the registry
    };

    RestApi(Registry *registry, const TurnCredentials *turn, MessageBus *bus, QString adminToken, Hooks hooks);

    void handle(const HttpRequest &req, HttpResponder *res);

private:
    bool authorised(const HttpRequest &req, HttpResponder *res) const;
    void listDevices(HttpResponder *res);
    void lookUp(const DeviceRecord &device, HttpResponder *res);
    static QJsonObject deviceJson(const DeviceRecord &d, bool online);

    Registry *m_registry;          // not owned
    const TurnCredentials *m_turn; // not owned
    MessageBus *m_bus;             // not owned; may be null
    QString m_adminToken;
    Hooks m_hooks;
};
