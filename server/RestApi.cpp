#include "RestApi.h"

#include "MessageBus.h"
#include "Registry.h"
#include "TurnCredentials.h"
#include "protocol/DeviceInfo.h"
#include "protocol/Json.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QPointer>

#include <openssl/crypto.h>

Q_DECLARE_LOGGING_CATEGORY(lcRendezvous)

namespace {
QByteArray errorBody(const char *text) {
    return Json::compact(QJsonObject{{"error", QLatin1String(text)}});
}
} // namespace

RestApi::RestApi(Registry *registry, const TurnCredentials *turn, MessageBus *bus, QString adminToken, Hooks hooks)
    : m_registry(registry), m_turn(turn), m_bus(bus), m_adminToken(std::move(adminToken)), m_hooks(std::move(hooks)) {}

bool RestApi::authorised(const HttpRequest &req, HttpResponder *res) const {
    if (m_adminToken.isEmpty()) {
        res->respondJson(403, errorBody("administration is disabled on this server"));
        return false;
    }
    const QByteArray header = req.header("authorization");
    const QByteArray given = header.startsWith("Bearer ") ? header.mid(7).trimmed() : QByteArray();
    // Compare digests so the time taken says nothing about the token.
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(m_adminToken.toUtf8(), QCryptographicHash::Sha256);
    if (given.isEmpty() || CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) != 0) {
        res->respond(401, errorBody("administrator token required"), "application/json",
                     {{"WWW-Authenticate", "Bearer"}});
        return false;
    }
    return true;
}

QJsonObject RestApi::deviceJson(const DeviceRecord &d, bool online) {
    return DeviceInfo{d.id, d.name, d.platform, online}.toJson();
}

void RestApi::handle(const HttpRequest &req, HttpResponder *res) {
    if (req.path == u"/healthz") {
        // For load balancers and service monitors: up, and how busy.
        QJsonObject health = m_hooks.load();
        health.insert("status", "ok");
        health.insert("version", QStringLiteral(VELMO_VERSION));
        // With a bus the counts are this instance's; "bus" says whether the others are reachable.
        if (m_bus) {
            health.insert("instance", m_bus->instanceId());
            health.insert("bus", m_bus->isUp() ? "up" : "down");
        }
        res->respondJson(200, Json::compact(health));
        return;
    }
    const QString prefix = QStringLiteral("/api/v1/");
    if (!req.path.startsWith(prefix)) {
        res->respondJson(404, errorBody("not found"));
        return;
    }
    const QStringList parts = req.path.mid(prefix.size()).split(u'/');
    const QByteArray &m = req.method;
    auto methodNotAllowed = [res] { res->respondJson(405, errorBody("method not allowed")); };

    if (parts == QStringList{QStringLiteral("turn-credentials")}) {
        if (m != "POST")
            return methodNotAllowed();
        res->respondJson(200, Json::compact(m_turn->issue(QDateTime::currentSecsSinceEpoch())));
        return;
    }
    if (parts.value(0) == u"devices" && parts.size() >= 2 && m == "GET" && !m_hooks.takeLookup(req.peer)) {
        res->respond(429, errorBody("too many requests"), "application/json", {{"Retry-After", "1"}});
        return;
    }
    if (parts.value(0) != u"devices" || parts.size() > 3) {
        res->respondJson(404, errorBody("not found"));
        return;
    }
    if (parts.size() == 1) {
        if (m != "GET")
            return methodNotAllowed();
        if (!authorised(req, res))
            return;
        listDevices(res);
        return;
    }
    const QString id = parts[1];
    if (!Registry::isDeviceId(id)) {
        res->respondJson(404, errorBody("no such device"));
        return;
    }
    if (parts.size() == 3) {
        if (parts[2] != u"thumb") {
            res->respondJson(404, errorBody("not found"));
            return;
        }
        if (m != "GET")
            return methodNotAllowed();
        const auto thumb = m_registry->thumb(id);
        if (!thumb) {
            res->respondJson(404, errorBody("no thumbnail"));
            return;
        }
        res->respond(200, thumb->first, thumb->second, {{"Cache-Control", "no-cache"}});
        return;
    }
    if (m == "GET") {
        if (const auto d = m_registry->find(id))
            lookUp(*d, res);
        else
            res->respondJson(404, errorBody("no such device"));
        return;
    }
    if (m == "DELETE") {
        // The administrator, or the device itself with its secret ("Authorization: Device
        // <secret>"), as when its software is uninstalled.
        const bool byDevice = req.header("authorization").startsWith("Device ");
        if (byDevice) {
            if (!m_hooks.takeLookup(req.peer)) {
                res->respond(429, errorBody("too many requests"), "application/json", {{"Retry-After", "1"}});
                return;
            }
            const QByteArray secret = req.header("authorization").mid(7).trimmed();
            const auto owner = m_registry->idForSecret(QCryptographicHash::hash(secret, QCryptographicHash::Sha256));
            // Unknown device and wrong secret look alike.
            if (secret.isEmpty() || !owner || *owner != id) {
                res->respond(401, errorBody("not this device's secret"), "application/json",
                             {{"WWW-Authenticate", "Device"}});
                return;
            }
        } else if (!authorised(req, res)) {
            return;
        }
        if (!m_registry->remove(id)) {
            res->respondJson(404, errorBody("no such device"));
            return;
        }
        qCInfo(lcRendezvous).noquote() << "device" << id
                                       << (byDevice ? "deleted by itself" : "deleted by the administrator");
        m_hooks.deletedByAdmin(id);
        res->respondJson(200, Json::compact(QJsonObject{{"deleted", id}}));
        return;
    }
    methodNotAllowed();
}

void RestApi::listDevices(HttpResponder *res) {
    const QList<DeviceRecord> devices = m_registry->list();
    QStringList elsewhere;
    for (const DeviceRecord &d : devices) {
        if (!m_hooks.onlineHere(d.id))
            elsewhere.append(d.id);
    }
    auto answer = [this, devices, res = QPointer<HttpResponder>(res)](const QSet<QString> &remoteOnline) {
        QJsonArray array;
        for (const DeviceRecord &d : devices)
            array.append(deviceJson(d, m_hooks.onlineHere(d.id) || remoteOnline.contains(d.id)));
        if (res)
            res->respondJson(200, Json::compact(array));
    };
    if (!m_bus || elsewhere.isEmpty())
        return answer({});
    // The others' devices: online as the bus says (offline while it cannot say).
    m_bus->onlineAmong(elsewhere, res, [answer](const std::optional<QSet<QString>> &online) {
        answer(online.value_or(QSet<QString>()));
    });
}

void RestApi::lookUp(const DeviceRecord &device, HttpResponder *res) {
    if (m_hooks.onlineHere(device.id) || !m_bus) {
        res->respondJson(200, Json::compact(deviceJson(device, m_hooks.onlineHere(device.id))));
        return;
    }
    // Held by another instance, perhaps: online as the bus says (offline while it cannot say).
    QPointer<HttpResponder> later(res);
    m_bus->onlineAmong({device.id}, res, [later, device](const std::optional<QSet<QString>> &online) {
        if (later)
            later->respondJson(200, Json::compact(deviceJson(device, online && online->contains(device.id))));
    });
}
