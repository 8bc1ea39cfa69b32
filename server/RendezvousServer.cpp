#include "RendezvousServer.h"

#include "WebSocketConnection.h"
#include "protocol/Json.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>

Q_LOGGING_CATEGORY(lcRendezvous, "velmo.rendezvous")

namespace {

// Unknown and offline look alike on the socket: the viewer has asked the REST look-up
// already and needs no more, and a prober learns nothing about which IDs exist.
const QString textUnreachable = QStringLiteral("端末が見つからないか、オフラインです");
const QString textTooFast = QStringLiteral("要求が多すぎます。しばらくしてからやり直してください");
const QString textDeviceBusy = QStringLiteral("端末が混み合っています。しばらくしてからやり直してください");
const QString textBadMessage = QStringLiteral("不正なメッセージです");
const QString textSidInUse = QStringLiteral("セッションIDが使用中です");
const QString textNoSession = QStringLiteral("セッションがありません");
const QString textDeviceLost = QStringLiteral("端末との接続が切れました");
const QString textTooMany = QStringLiteral("セッションが多すぎます");

constexpr int closeGoingAway = 1001;
constexpr int closePolicyViolated = 1008;
constexpr int closeServerError = 1011;
constexpr int closeTryAgain = 1013;
constexpr int closeBadRegistration = 4400;
constexpr int closeRegisterTimeout = 4408;
constexpr int closeReplaced = 4409;
constexpr int closeDeleted = 4410;
constexpr int closeTooMany = 4429;

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

std::optional<QJsonObject> parseObject(const QString &text) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

bool isSid(const QJsonValue &v) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return v.isString() && re.match(v.toString()).hasMatch();
}

// Cuts to at most `max` UTF-16 units without splitting a surrogate pair, then trims.
QString cut(const QString &s, qsizetype max) {
    QString out = s.left(max);
    if (!out.isEmpty() && out.back().isHighSurrogate())
        out.chop(1);
    return out.trimmed();
}

QByteArray imageType(const QByteArray &b) {
    if (b.startsWith("\xFF\xD8\xFF"))
        return "image/jpeg";
    if (b.startsWith("\x89PNG\r\n\x1A\n"))
        return "image/png";
    return {};
}

QString randomHex(int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(raw.data()),
                                         reinterpret_cast<quint32 *>(raw.data()) + bytes / 4);
    return QString::fromLatin1(raw.toHex());
}

} // namespace

RendezvousServer::RendezvousServer(std::unique_ptr<Registry> registry, Options options, std::unique_ptr<MessageBus> bus,
                                   QObject *parent)
    : QObject(parent), m_registry(std::move(registry)), m_options(std::move(options)),
      m_turn(m_options.stunUrls, m_options.turnUrls, m_options.turnSecret, m_options.turnTtlSeconds),
      m_bus(std::move(bus)), m_rest(m_registry.get(), &m_turn, m_bus.get(), m_options.adminToken, restHooks()) {
    if (m_bus)
        connect(m_bus.get(), &MessageBus::message, this, &RendezvousServer::onBusMessage);
    m_clock.start();
    m_http.setMaxBodyBytes(64 * 1024);
    m_http.setLimits(m_options.http);
    m_registry->setThumbBudget(m_options.thumbBudgetBytes);
    // The handshake is read (within the request time-out) by the HTTP server.
    m_http.setUpgradeHandler(
        [this](QTcpSocket *socket, const HttpRequest &req, const QByteArray &early) { onUpgrade(socket, req, early); });
    m_http.setHandler([this](const HttpRequest &req, HttpResponder *res) { m_rest.handle(req, res); });
    m_pingTimer.setInterval(m_options.pingIntervalMs);
    connect(&m_pingTimer, &QTimer::timeout, this, &RendezvousServer::pingAll);
    // Often enough that a short expiry (as in tests) is kept to within a quarter.
    m_expiryTimer.setInterval(int(std::clamp<qint64>(m_options.expireAfterSecs * 250, 1000, 3600 * 1000)));
    connect(&m_expiryTimer, &QTimer::timeout, this, &RendezvousServer::expireNow);
}

RendezvousServer::~RendezvousServer() {
    shutdown();
}

void RendezvousServer::shutdown() {
    m_http.close();
    m_pingTimer.stop();
    // Sockets are children of this object; stop reacting to their last signals, tell
    // every peer the server is going away (1001) and hand the close frames to the kernel now:
    // the process may end right after this.
    const QList<WebSocketConnection *> sockets = m_viewers.keys() + m_devices.keys();
    if (!sockets.isEmpty())
        qCInfo(lcRendezvous).noquote() << "shutting down: closing" << sockets.size() << "sockets";
    for (WebSocketConnection *s : sockets) {
        s->disconnect(this);
        s->close(closeGoingAway, QStringLiteral("server shutting down"));
        s->flush();
    }
    // The other instances see these devices offline now rather than when their presence runs out.
    if (m_bus) {
        for (const QString &id : m_online.keys())
            m_bus->releaseOnline(id);
    }
    m_viewers.clear();
    m_viewerById.clear();
    m_devices.clear();
    m_online.clear();
    m_routes.clear();
}

bool RendezvousServer::listen() {
    if (m_options.tls)
        m_http.setTls(*m_options.tls);
    if (!m_http.listen(m_options.address, m_options.port))
        return false;
    m_pingTimer.start();
    // Not at once: devices that were connected before a restart get one interval to come
    // back (and be seen) before anything is judged stale.
    if (m_options.expireAfterSecs > 0)
        m_expiryTimer.start();
    return true;
}

int RendezvousServer::expireNow() {
    if (m_options.expireAfterSecs <= 0)
        return 0;
    // Connected devices are seen now, however long ago they registered.
    m_registry->touch(m_online.keys());
    const int gone = m_registry->expireBefore(QDateTime::currentSecsSinceEpoch() - m_options.expireAfterSecs);
    if (gone > 0)
        qCInfo(lcRendezvous) << gone << "devices expired";
    return gone;
}

bool RendezvousServer::takeFor(QHash<QString, TokenBucket> &table, const QString &address, double rate, double burst) {
    const qint64 now = m_clock.elapsed();
    auto it = table.find(address);
    if (it == table.end())
        it = table.insert(address, TokenBucket(rate, burst, now));
    return it->take(now);
}

void RendezvousServer::pruneBuckets() {
    // A bucket that has filled up again holds nothing worth keeping.
    const qint64 now = m_clock.elapsed();
    for (QHash<QString, TokenBucket> *table : {&m_lookupsByAddress, &m_messagesByAddress, &m_registrationsByAddress})
        table->removeIf([now](const QHash<QString, TokenBucket>::iterator it) { return it->idle(now); });
}

RestApi::Hooks RendezvousServer::restHooks() {
    RestApi::Hooks hooks;
    hooks.onlineHere = [this](const QString &id) { return m_online.contains(id); };
    hooks.load = [this] { return QJsonObject{{"devicesOnline", m_online.size()}, {"viewers", m_viewers.size()}}; };
    hooks.takeLookup = [this](const QString &address) {
        return takeFor(m_lookupsByAddress, address, m_options.lookupRate, m_options.lookupBurst);
    };
    hooks.deletedByAdmin = [this](const QString &id) { deviceDeleted(id); };
    return hooks;
}

void RendezvousServer::deviceDeleted(const QString &id) {
    if (WebSocketConnection *socket = m_online.value(id)) {
        deviceOffline(id, true);
        closeDevice(socket, closeDeleted, QStringLiteral("deleted"));
    } else {
        deviceOffline(id, true);
        // Held by another instance, perhaps: that one closes it.
        if (m_bus)
            m_bus->publish(MessageBus::deviceChannel(id), Json::compact(QJsonObject{{"k", "deleted"}}), this);
    }
}

// ---- WebSockets ---------------------------------------------------------------------------

void RendezvousServer::sendJson(WebSocketConnection *socket, const QJsonObject &o) {
    // A peer that stops reading is dropped by the socket itself (maxPendingWriteBytes), from
    // the event loop: callers may be walking the tables that the disconnect edits.
    if (socket)
        socket->sendTextMessage(QString::fromUtf8(Json::compact(o)));
}

void RendezvousServer::sendError(WebSocketConnection *socket, const QString &sid, const QString &text) {
    QJsonObject o{{"type", "error"}, {"error", text}};
    if (!sid.isEmpty())
        o.insert("sid", sid);
    sendJson(socket, o);
}

void RendezvousServer::onUpgrade(QTcpSocket *socket, const HttpRequest &req, const QByteArray &early) {
    // Owned by this object: the ones still open or closing at exit go with it.
    WebSocketConnection *ws = WebSocketConnection::accept(socket, req, early, this);
    if (!ws)
        return; // answered with 400 or 426 and closed
    // Relayed messages and pongs alike.
    ws->setMaxPendingWriteBytes(maxPendingWriteBytes);
    const QString path = ws->path();
    if (m_viewers.size() + m_devices.size() >= maxSockets) {
        connect(ws, &WebSocketConnection::disconnected, ws, &QObject::deleteLater);
        ws->close(closeTryAgain, QStringLiteral("try again later"));
        QTimer::singleShot(2000, ws, &QObject::deleteLater);
    } else if (path == u"/ws/viewer") {
        addViewer(ws);
    } else if (path == u"/ws/device") {
        addDevice(ws);
    } else {
        connect(ws, &WebSocketConnection::disconnected, ws, &QObject::deleteLater);
        ws->close(closePolicyViolated, QStringLiteral("unknown path"));
        QTimer::singleShot(2000, ws, &QObject::deleteLater);
    }
    // Frames that came with the handshake are read now that the handlers are in place.
    ws->start();
}

void RendezvousServer::addViewer(WebSocketConnection *socket) {
    socket->setMaxMessageBytes(maxViewerMessageBytes);
    const QString id = QStringLiteral("v") + randomHex(8).left(12);
    const qint64 now = m_clock.elapsed();
    Viewer v;
    v.id = id;
    v.address = HttpServer::addressKey(socket->peerAddress());
    v.lastHeard = nowMs();
    v.messages = TokenBucket(m_options.signalRate, m_options.signalBurst, now);
    v.lookups = TokenBucket(m_options.socketLookupRate, m_options.socketLookupBurst, now);
    m_viewers.insert(socket, v);
    m_viewerById.insert(id, socket);
    if (m_bus)
        m_bus->subscribe(MessageBus::viewerChannel(id));
    connect(socket, &WebSocketConnection::textMessageReceived, this,
            [this, socket](const QString &text) { onViewerText(socket, text); });
    auto heard = [this, socket] {
        if (const auto it = m_viewers.find(socket); it != m_viewers.end())
            it->lastHeard = nowMs();
    };
    // Nothing is carried in binary frames; they only show the viewer is alive.
    connect(socket, &WebSocketConnection::binaryMessageReceived, this, heard);
    connect(socket, &WebSocketConnection::pong, this, heard);
    connect(socket, &WebSocketConnection::disconnected, this, [this, socket] { viewerGone(socket); });
    qCInfo(lcRendezvous).noquote() << "viewer" << id << "connected from" << socket->peerAddress().toString();
    sendJson(socket, QJsonObject{{"type", "hello"}, {"id", id}});
}

void RendezvousServer::addDevice(WebSocketConnection *socket) {
    socket->setMaxMessageBytes(maxDeviceMessageBytes);
    m_devices.insert(socket, Device{QString(), nowMs(), 0});
    connect(socket, &WebSocketConnection::textMessageReceived, this,
            [this, socket](const QString &text) { onDeviceText(socket, text); });
    connect(socket, &WebSocketConnection::binaryMessageReceived, this,
            [this, socket](const QByteArray &bytes) { onDeviceBinary(socket, bytes); });
    connect(socket, &WebSocketConnection::pong, this, [this, socket] {
        if (m_devices.contains(socket))
            m_devices[socket].lastHeard = nowMs();
    });
    connect(socket, &WebSocketConnection::disconnected, this, [this, socket] { deviceGone(socket); });
    QTimer::singleShot(registerTimeoutMs, socket, [this, socket] {
        if (m_devices.contains(socket) && m_devices.value(socket).id.isEmpty())
            closeDevice(socket, closeRegisterTimeout, QStringLiteral("register timeout"),
                        QStringLiteral("no register message"));
    });
}

void RendezvousServer::throttleViewer(WebSocketConnection *socket, const QString &sid) {
    const auto vit = m_viewers.find(socket);
    if (vit == m_viewers.end() || vit->closing)
        return;
    vit->closing = true;
    qCInfo(lcRendezvous) << "viewer" << vit->id << "from" << vit->address << "over its limits: closed";
    sendError(socket, sid, textTooFast);
    socket->close(closePolicyViolated, QStringLiteral("too many requests"));
    QTimer::singleShot(2000, socket, &WebSocketConnection::abort);
}

void RendezvousServer::onViewerText(WebSocketConnection *socket, const QString &text) {
    auto vit = m_viewers.find(socket);
    if (vit == m_viewers.end() || vit->closing)
        return;
    vit->lastHeard = nowMs();
    // Every message costs a token before it costs any parsing.
    if (!vit->messages.take(m_clock.elapsed()) ||
        !takeFor(m_messagesByAddress, vit->address, m_options.addressSignalRate, m_options.addressSignalBurst)) {
        const auto msg = parseObject(text.left(4096));
        throttleViewer(socket, msg && isSid(msg->value("sid")) ? msg->value("sid").toString() : QString());
        return;
    }
    const QString viewerId = vit->id;
    const auto msg = parseObject(text);
    if (!msg)
        return;
    const QString type = msg->value("type").toString();
    const QJsonValue sidValue = msg->value("sid");
    if (type.isEmpty() || !isSid(sidValue))
        return; // nothing to address an answer to
    const QString sid = sidValue.toString();
    if (type != u"connect" && type != u"ice" && type != u"bye")
        return;

    const QString to = msg->value("to").toString();
    const QString key = routeKey(to, sid);
    const auto route = m_routes.constFind(key);
    const bool ours = route != m_routes.constEnd() && route->viewer == socket;

    if (type == u"bye") {
        if (!ours)
            return;
        removeRoute(key);
        const QJsonObject bye{{"type", "bye"}, {"sid", sid}, {"from", viewerId}};
        if (WebSocketConnection *device = m_online.value(to))
            sendJson(device, bye);
        else if (m_bus)
            publishToDevice(to, viewerId, bye);
        return;
    }

    if (type == u"connect" && !ours && !vit->targets.contains(to)) {
        // A new target is a look-up, whether or not the device exists; another session
        // with a device this socket already reaches is not.
        if (!vit->lookups.take(m_clock.elapsed()) ||
            !takeFor(m_lookupsByAddress, vit->address, m_options.lookupRate, m_options.lookupBurst)) {
            throttleViewer(socket, sid);
            return;
        }
    }
    WebSocketConnection *device = Registry::isDeviceId(to) ? m_online.value(to) : nullptr;
    // Not here: perhaps on another instance; the bus tells when nobody took the message.
    const bool elsewhere = !device && m_bus && Registry::isDeviceId(to);
    if (!device && !elsewhere) {
        sendError(socket, sid, textUnreachable);
        return;
    }
    const QJsonValue payload = msg->value("payload");
    if (!payload.isObject()) {
        sendError(socket, sid, textBadMessage);
        return;
    }
    if (type == u"connect") {
        if (route != m_routes.constEnd() && !ours && (route->viewer || route->remote)) {
            sendError(socket, sid, textSidInUse);
            return;
        }
        if (!ours && (vit->routes.size() >= maxRoutesPerViewer ||
                      m_routesByAddress.value(vit->address) >= m_options.maxRoutesPerAddress)) {
            sendError(socket, sid, textTooMany);
            return;
        }
    } else if (!ours) {
        sendError(socket, sid, textNoSession);
        return;
    }
    const QJsonObject out{{"type", type}, {"sid", sid}, {"from", viewerId}, {"payload", payload}};
    if (elsewhere) {
        // The device's instance checks its backlog and the sid there.
        if (type == u"connect" && !ours)
            addRoute(key, to, sid, socket);
        publishToDevice(to, viewerId, out, key);
        return;
    }
    // A device that is not taking its messages is not drowned by a viewer: the viewer's
    // messages are refused until the device has caught up, and the device stays online.
    if (device->bytesToWrite() > maxDeviceBacklogForViewers) {
        sendError(socket, sid, textDeviceBusy);
        return;
    }
    if (type == u"connect" && !ours)
        addRoute(key, to, sid, socket);
    sendJson(device, out);
}

void RendezvousServer::addRoute(const QString &key, const QString &deviceId, const QString &sid,
                                WebSocketConnection *viewer) {
    removeRoute(key); // a route whose viewer has gone
    const auto vit = m_viewers.find(viewer);
    if (vit == m_viewers.end())
        return;
    m_routes.insert(key, Route{viewer, vit->id, deviceId, sid, vit->address, false});
    vit->routes.insert(key);
    ++vit->targets[deviceId];
    m_routesByDevice[deviceId].insert(key);
    ++m_routesByAddress[vit->address];
}

void RendezvousServer::removeRoute(const QString &key) {
    const auto it = m_routes.find(key);
    if (it == m_routes.end())
        return;
    if (const auto vit = m_viewers.find(it->viewer.data()); it->viewer && vit != m_viewers.end()) {
        vit->routes.remove(key);
        if (const auto t = vit->targets.find(it->deviceId); t != vit->targets.end() && --*t <= 0)
            vit->targets.erase(t);
    }
    if (const auto d = m_routesByDevice.find(it->deviceId); d != m_routesByDevice.end()) {
        d->remove(key);
        if (d->isEmpty())
            m_routesByDevice.erase(d);
    }
    if (const auto a = m_routesByAddress.find(it->address); a != m_routesByAddress.end() && --*a <= 0)
        m_routesByAddress.erase(a);
    m_routes.erase(it);
}

void RendezvousServer::onDeviceText(WebSocketConnection *socket, const QString &text) {
    auto dit = m_devices.find(socket);
    if (dit == m_devices.end())
        return;
    dit->lastHeard = nowMs();
    const bool registered = !dit->id.isEmpty();
    const auto msg = parseObject(text);
    const QString type = msg ? msg->value("type").toString() : QString();
    if (!registered) {
        if (type == u"register")
            registerDevice(socket, *msg);
        else
            closeDevice(socket, closeBadRegistration, QStringLiteral("register first"),
                        QStringLiteral("the first message must be register"));
        return;
    }
    if (!msg || type.isEmpty())
        return;
    if (type == u"answer" || type == u"ice" || type == u"bye" || type == u"error") {
        relayFromDevice(socket, *msg);
    } else if (type == u"update") {
        const QString id = dit->id;
        const QJsonValue name = msg->value("name");
        const QJsonValue platform = msg->value("platform");
        if (name.isString()) {
            const QString n = cut(name.toString(), 128);
            m_registry->setName(id, n.isEmpty() ? QStringLiteral("Unnamed") : n);
        }
        if (platform.isString())
            m_registry->setPlatform(id, cut(platform.toString(), 64));
        else if (platform.isNull())
            m_registry->setPlatform(id, std::nullopt);
    } else if (type == u"thumb") {
        const QJsonValue data = msg->value("data");
        const auto decoded =
            QByteArray::fromBase64Encoding(data.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!data.isString() || !decoded)
            sendError(socket, {}, QStringLiteral("bad thumbnail"));
        else
            storeThumb(socket, *decoded);
    }
}

void RendezvousServer::onDeviceBinary(WebSocketConnection *socket, const QByteArray &bytes) {
    auto dit = m_devices.find(socket);
    if (dit == m_devices.end())
        return;
    dit->lastHeard = nowMs();
    if (dit->id.isEmpty()) {
        closeDevice(socket, closeBadRegistration, QStringLiteral("register first"),
                    QStringLiteral("the first message must be register"));
        return;
    }
    storeThumb(socket, bytes);
}

void RendezvousServer::registerDevice(WebSocketConnection *socket, const QJsonObject &msg) {
    if (!takeFor(m_registrationsByAddress, HttpServer::addressKey(socket->peerAddress()), m_options.registerRate,
                 m_options.registerBurst)) {
        closeDevice(socket, closeTooMany, QStringLiteral("too many registrations"),
                    QStringLiteral("too many registrations from this address; try again later"));
        return;
    }
    const QJsonValue secret = msg.value("secret");
    const QJsonValue name = msg.value("name");
    const QJsonValue platform = msg.value("platform");
    static const QRegularExpression secretRe(QStringLiteral("^[\\x21-\\x7e]{16,256}$"));
    if (!secret.isString() || !secretRe.match(secret.toString()).hasMatch()) {
        closeDevice(socket, closeBadRegistration, QStringLiteral("bad secret"),
                    QStringLiteral("secret must be 16 to 256 printable ASCII characters"));
        return;
    }
    if (!(name.isString() || name.isUndefined() || name.isNull()) ||
        !(platform.isString() || platform.isUndefined() || platform.isNull())) {
        closeDevice(socket, closeBadRegistration, QStringLiteral("bad registration"),
                    QStringLiteral("name and platform must be strings"));
        return;
    }
    QString n = cut(name.toString(), 128);
    if (n.isEmpty())
        n = QStringLiteral("Unnamed");
    const std::optional<QString> p =
        platform.isString() ? std::optional<QString>(cut(platform.toString(), 64)) : std::nullopt;
    const QByteArray hash = QCryptographicHash::hash(secret.toString().toLatin1(), QCryptographicHash::Sha256);
    const std::optional<QString> id = m_registry->registerDevice(hash, n, p);
    if (!id) {
        closeDevice(socket, closeServerError, QStringLiteral("registry failure"), QStringLiteral("registry failure"));
        return;
    }
    if (WebSocketConnection *previous = m_online.value(*id); previous && previous != socket) {
        m_devices.remove(previous); // its close must not take the new socket offline
        closeDevice(previous, closeReplaced, QStringLiteral("replaced"));
    }
    m_devices[socket].id = *id;
    m_online.insert(*id, socket);
    if (m_bus) {
        // Another instance that still holds an older socket of this device closes it.
        m_bus->publish(MessageBus::deviceChannel(*id),
                       Json::compact(QJsonObject{{"k", "replaced"}, {"by", m_bus->instanceId()}}), this);
        m_bus->subscribe(MessageBus::deviceChannel(*id));
        m_bus->claimOnline(*id);
    }
    qCInfo(lcRendezvous).noquote() << "device" << *id << "registered from" << socket->peerAddress().toString() << "as"
                                   << (u'"' + n + u'"');
    sendJson(socket, QJsonObject{{"type", "registered"}, {"id", *id}});
}

void RendezvousServer::storeThumb(WebSocketConnection *socket, const QByteArray &bytes) {
    const auto it = m_devices.find(socket);
    if (it == m_devices.end())
        return;
    Device &d = *it;
    const QByteArray type = imageType(bytes);
    if (type.isEmpty() || bytes.size() > maxThumbBytes) {
        sendError(socket, {}, QStringLiteral("bad thumbnail"));
        return;
    }
    const qint64 now = nowMs();
    if (d.lastThumb && now - d.lastThumb < minThumbIntervalMs)
        return;
    d.lastThumb = now;
    m_registry->setThumb(d.id, bytes, type);
}

void RendezvousServer::relayFromDevice(WebSocketConnection *socket, const QJsonObject &msg) {
    const QString deviceId = m_devices.value(socket).id;
    const QJsonValue sidValue = msg.value("sid");
    // (the device's own messages are not rate-limited: one device harms only itself)
    if (!isSid(sidValue))
        return;
    const QString sid = sidValue.toString();
    const QString key = routeKey(deviceId, sid);
    auto route = m_routes.find(key);
    if (route == m_routes.end() || (!route->viewer && !route->remote))
        return;
    const QString type = msg.value("type").toString();
    QJsonObject out{{"type", type}, {"sid", sid}, {"from", deviceId}};
    if (msg.contains("payload"))
        out.insert("payload", msg.value("payload"));
    if (msg.contains("error"))
        out.insert("error", msg.value("error"));
    WebSocketConnection *viewer = route->viewer;
    const QString remoteViewer = route->remote ? route->viewerId : QString();
    if (type == u"answer")
        route->answered = true;
    else if (type == u"bye")
        removeRoute(key);
    if (!remoteViewer.isEmpty())
        publishToViewer(remoteViewer, deviceId, out, false, type == u"bye" ? QString() : key);
    else
        sendJson(viewer, out);
}

void RendezvousServer::viewerGone(WebSocketConnection *socket) {
    const auto vit = m_viewers.constFind(socket);
    if (vit != m_viewers.constEnd())
        qCInfo(lcRendezvous).noquote() << "viewer" << vit->id << "closed";
    const QSet<QString> keys = vit != m_viewers.constEnd() ? vit->routes : QSet<QString>();
    for (const QString &key : keys) {
        const auto it = m_routes.constFind(key);
        if (it == m_routes.constEnd())
            continue;
        if (!it->answered) {
            // Half-made negotiations can never finish now.
            const QJsonObject bye{{"type", "bye"}, {"sid", it->sid}};
            if (WebSocketConnection *device = m_online.value(it->deviceId))
                sendJson(device, bye);
            else if (m_bus)
                publishToDevice(it->deviceId, it->viewerId, bye);
        }
        removeRoute(key);
    }
    if (vit != m_viewers.constEnd()) {
        m_viewerById.remove(vit->id);
        if (m_bus)
            m_bus->unsubscribe(MessageBus::viewerChannel(vit->id));
    }
    m_viewers.remove(socket);
    socket->deleteLater();
}

void RendezvousServer::deviceOffline(const QString &id, bool dropAllRoutes) {
    m_online.remove(id);
    if (m_bus) {
        m_bus->unsubscribe(MessageBus::deviceChannel(id));
        m_bus->releaseOnline(id);
    }
    const QSet<QString> keys = m_routesByDevice.value(id);
    for (const QString &key : keys) {
        const auto it = m_routes.constFind(key);
        if (it == m_routes.constEnd())
            continue;
        if (it->remote) {
            // The viewer's instance keeps its own route; if the device comes back on another
            // instance, that one learns the route from the viewer's next message.
            if (!it->answered)
                publishToViewer(it->viewerId, id,
                                QJsonObject{{"type", "error"}, {"sid", it->sid}, {"error", textDeviceLost}}, true);
            removeRoute(key);
            continue;
        }
        if (!it->answered && it->viewer)
            sendError(it->viewer, it->sid, textDeviceLost);
        if (!it->answered || dropAllRoutes)
            removeRoute(key);
    }
}

void RendezvousServer::deviceGone(WebSocketConnection *socket) {
    const auto it = m_devices.constFind(socket);
    if (it != m_devices.constEnd()) {
        const QString id = it->id;
        m_devices.erase(it);
        if (!id.isEmpty() && m_online.value(id) == socket) {
            qCInfo(lcRendezvous).noquote() << "device" << id << "offline";
            deviceOffline(id, false);
        }
    }
    socket->deleteLater();
}

void RendezvousServer::closeDevice(WebSocketConnection *socket, int code, const QString &reason, const QString &error) {
    const QString id = m_devices.value(socket).id;
    if (code == closeBadRegistration || code == closeServerError)
        qCWarning(lcRendezvous).noquote()
            << "device socket from" << socket->peerAddress().toString() << "refused:" << reason;
    else
        qCInfo(lcRendezvous).noquote() << "device" << (id.isEmpty() ? QStringLiteral("(unregistered)") : id)
                                       << "closed with" << code << reason;
    if (!error.isEmpty())
        sendError(socket, {}, error);
    if (m_devices.contains(socket)) {
        const QString id = m_devices.value(socket).id;
        if (!id.isEmpty() && m_online.value(id) == socket)
            deviceOffline(id, false);
        m_devices.remove(socket);
    }
    socket->disconnect(this);
    connect(socket, &WebSocketConnection::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(2000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->close(code, reason);
}

void RendezvousServer::pingAll() {
    const qint64 now = nowMs();
    const qint64 silenceLimitMs = 3LL * m_options.pingIntervalMs;
    pruneBuckets();
    // Aborting emits disconnected() at once, which edits the tables: iterate over copies.
    const QList<WebSocketConnection *> viewers = m_viewers.keys();
    for (WebSocketConnection *s : viewers) {
        const auto it = m_viewers.constFind(s);
        if (it == m_viewers.constEnd())
            continue;
        if (now - it->lastHeard > silenceLimitMs)
            s->abort(); // disconnected() cleans up
        else
            s->ping();
    }
    const QList<WebSocketConnection *> devices = m_devices.keys();
    for (WebSocketConnection *s : devices) {
        if (!m_devices.contains(s))
            continue;
        if (now - m_devices.value(s).lastHeard > silenceLimitMs)
            closeDevice(s, closeGoingAway, QStringLiteral("silent"));
        else
            s->ping();
    }
}

// ---- The bus between instances ------------------------------------------------------------

void RendezvousServer::addRemoteRoute(const QString &key, const QString &deviceId, const QString &sid,
                                      const QString &viewerId) {
    removeRoute(key);
    Route r{nullptr, viewerId, deviceId, sid, QString(), false};
    r.remote = true;
    m_routes.insert(key, r);
    m_routesByDevice[deviceId].insert(key);
}

void RendezvousServer::publishToDevice(const QString &deviceId, const QString &viewerId, const QJsonObject &msg,
                                       const QString &key) {
    const QByteArray envelope = Json::compact(QJsonObject{{"k", "signal"}, {"viewer", viewerId}, {"msg", msg}});
    m_bus->publish(MessageBus::deviceChannel(deviceId), envelope, this,
                   [this, key, viewerId, sid = msg.value("sid").toString()](std::optional<qint64> receivers) {
                       // Main thread, once the bus has answered.
                       if (key.isEmpty() || (receivers && *receivers > 0))
                           return;
                       // No instance holds the device (or the bus is down): as if it were unknown here.
                       WebSocketConnection *viewer = m_viewerById.value(viewerId);
                       const auto route = m_routes.constFind(key);
                       if (route != m_routes.constEnd() && viewer && route->viewer == viewer && !route->answered)
                           removeRoute(key);
                       if (viewer)
                           sendError(viewer, sid, textUnreachable);
                   });
}

void RendezvousServer::publishToViewer(const QString &viewerId, const QString &deviceId, const QJsonObject &msg,
                                       bool drop, const QString &key) {
    const QByteArray envelope =
        Json::compact(QJsonObject{{"k", "signal"}, {"device", deviceId}, {"drop", drop}, {"msg", msg}});
    m_bus->publish(MessageBus::viewerChannel(viewerId), envelope, this,
                   [this, key, viewerId](std::optional<qint64> receivers) {
                       // Main thread. Nobody took it: the viewer's socket is gone, and so is the session.
                       if (key.isEmpty() || !receivers || *receivers > 0)
                           return;
                       const auto route = m_routes.constFind(key);
                       if (route != m_routes.constEnd() && route->remote && route->viewerId == viewerId)
                           removeRoute(key);
                   });
}

void RendezvousServer::onBusMessage(const QByteArray &channel, const QByteArray &payload) {
    const auto envelope = parseObject(QString::fromUtf8(payload));
    if (!envelope)
        return;
    const QByteArray devicePrefix = MessageBus::deviceChannel(QString());
    const QByteArray viewerPrefix = MessageBus::viewerChannel(QString());
    if (channel.startsWith(devicePrefix)) {
        const QString id = QString::fromLatin1(channel.mid(devicePrefix.size()));
        const QString kind = envelope->value("k").toString();
        WebSocketConnection *device = m_online.value(id);
        if (kind == u"signal") {
            busToDevice(id, *envelope);
        } else if (kind == u"replaced" && device && envelope->value("by").toString() != m_bus->instanceId()) {
            // The device registered again on another instance: that one holds it now. This
            // instance's viewers keep their routes and reach it over the bus.
            qCInfo(lcRendezvous).noquote() << "device" << id << "moved to another instance";
            m_devices.remove(device);
            m_online.remove(id);
            m_bus->unsubscribe(MessageBus::deviceChannel(id));
            m_bus->releaseOnline(id);
            for (const QString &key : m_routesByDevice.value(id)) {
                if (m_routes.value(key).remote)
                    removeRoute(key);
            }
            closeDevice(device, closeReplaced, QStringLiteral("replaced"));
        } else if (kind == u"deleted" && device) {
            deviceOffline(id, true);
            closeDevice(device, closeDeleted, QStringLiteral("deleted"));
        }
    } else if (channel.startsWith(viewerPrefix)) {
        busToViewer(QString::fromLatin1(channel.mid(viewerPrefix.size())), *envelope);
    }
}

void RendezvousServer::busToDevice(const QString &deviceId, const QJsonObject &envelope) {
    const QString viewerId = envelope.value("viewer").toString();
    const QJsonObject msg = envelope.value("msg").toObject();
    const QString type = msg.value("type").toString();
    if (viewerId.isEmpty() || !isSid(msg.value("sid")) || (type != u"connect" && type != u"ice" && type != u"bye"))
        return;
    const QString sid = msg.value("sid").toString();
    auto refuse = [&](const QString &text, bool drop) {
        publishToViewer(viewerId, deviceId, QJsonObject{{"type", "error"}, {"sid", sid}, {"error", text}}, drop);
    };
    WebSocketConnection *device = m_online.value(deviceId);
    if (!device) {
        // Just gone from here (the subscription ends with it).
        if (type != u"bye")
            refuse(textUnreachable, type == u"connect");
        return;
    }
    const QString key = routeKey(deviceId, sid);
    const auto route = m_routes.constFind(key);
    const bool known = route != m_routes.constEnd();
    const bool theirs = known && route->remote && route->viewerId == viewerId;
    const bool taken = known && !theirs && (route->remote || route->viewer);
    if (type == u"bye") {
        if (taken)
            return;
        if (theirs)
            removeRoute(key);
        sendJson(device, msg);
        return;
    }
    if (taken) {
        if (type == u"connect")
            refuse(textSidInUse, true);
        return;
    }
    if (device->bytesToWrite() > maxDeviceBacklogForViewers) {
        refuse(textDeviceBusy, type == u"connect");
        return;
    }
    if (!theirs) {
        // A new session, or one whose device has come here from another instance: the
        // viewer's instance has checked that the session is this viewer's.
        if (m_routesByDevice.value(deviceId).size() >= maxRemoteRoutesPerDevice) {
            refuse(textTooMany, true);
            return;
        }
        addRemoteRoute(key, deviceId, sid, viewerId);
    }
    sendJson(device, msg);
}

void RendezvousServer::busToViewer(const QString &viewerId, const QJsonObject &envelope) {
    WebSocketConnection *socket = m_viewerById.value(viewerId);
    const QString deviceId = envelope.value("device").toString();
    const QJsonObject msg = envelope.value("msg").toObject();
    if (!socket || !Registry::isDeviceId(deviceId) || !isSid(msg.value("sid")))
        return;
    const QString key = routeKey(deviceId, msg.value("sid").toString());
    const auto route = m_routes.find(key);
    if (route == m_routes.end() || route->viewer != socket)
        return;
    const QString type = msg.value("type").toString();
    if (type == u"answer")
        route->answered = true;
    if (type == u"bye" || envelope.value("drop").toBool())
        removeRoute(key);
    sendJson(socket, msg);
}
