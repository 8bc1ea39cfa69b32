#include "device/DeviceLink.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSysInfo>

#include "control/DataDir.h"
#include "protocol/Json.h"
#include "protocol/PasscodeProof.h"

Q_LOGGING_CATEGORY(lcLink, "velmo.device.link")

namespace {
constexpr int kMaxDelayMs = 30 * 1000;
constexpr int kRegisterTimeoutMs = 15 * 1000;
constexpr qsizetype kMaxIncoming = 1024 * 1024;
constexpr int kCloseDeleted = 4410;
} // namespace

DeviceLink::DeviceLink(const QString &server, const QString &dataDir, QObject *parent)
    : QObject(parent), m_server(server.trimmed()), m_dataDir(dataDir) {
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &DeviceLink::open);
    m_registerTimeout.setSingleShot(true);
    connect(&m_registerTimeout, &QTimer::timeout, this, [this] {
        qCInfo(lcLink) << "no registration answer; reconnecting";
        if (m_socket)
            m_socket->abort();
    });
}

DeviceLink::~DeviceLink() {
    // The socket, a child, says goodbye (1001) when it is destroyed after this object's
    // members; its signals must not reach them.
    if (m_socket)
        m_socket->disconnect(this);
}

QUrl DeviceLink::deviceUrl(const QString &server) {
    QString s = server.trimmed();
    while (s.endsWith(QLatin1Char('/')))
        s.chop(1);
    if (s.startsWith(QLatin1String("https://")))
        s.replace(0, 8, QStringLiteral("wss://"));
    else if (s.startsWith(QLatin1String("http://")))
        s.replace(0, 7, QStringLiteral("ws://"));
    else
        return {};
    const QUrl url(s + QStringLiteral("/ws/device"));
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

Result<QString> DeviceLink::loadOrCreateSecret(const QString &dataDir) {
    const QString path = QDir(dataDir).filePath(QStringLiteral("device.json"));
    // The secret is the device's identity: a file that another user planted or can read
    // is not trusted (nor replaced: the user has to look at it).
    const Result<std::optional<QByteArray>> stored = DataDir::readPrivate(path, 64 * 1024);
    if (!stored.ok())
        return Result<QString>::failure(stored.error);
    if (*stored.value) {
        const QString secret =
            QJsonDocument::fromJson(**stored.value).object().value(QLatin1String("secret")).toString();
        if (secret.size() >= 16 && secret.size() <= 256)
            return Result<QString>::success(secret);
    }
    const QByteArray raw = PasscodeProof::randomBytes(32);
    if (raw.isEmpty())
        return Result<QString>::failure(
            Error::make(Error::Kind::Unavailable, QStringLiteral("no random bytes for a device secret")));
    const QString secret =
        QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    DataDir::Done written = DataDir::ensure(dataDir);
    if (written.ok())
        written = DataDir::writePrivate(path, QJsonDocument(QJsonObject{{"secret", secret}}).toJson());
    if (!written.ok())
        return Result<QString>::failure(written.error);
    return Result<QString>::success(secret);
}

void DeviceLink::start() {
    if (m_running)
        return;
    if (!deviceUrl(m_server).isValid()) {
        qCWarning(lcLink) << "no usable server URL:" << m_server;
        return;
    }
    const Result<QString> secret = loadOrCreateSecret(m_dataDir);
    if (!secret.ok()) {
        qCWarning(lcLink).noquote() << secret.error.message << "- the device does not register";
        Q_EMIT problem(secret.error.message);
        return;
    }
    m_secret = *secret.value;
    m_running = true;
    open();
}

void DeviceLink::stop() {
    m_running = false;
    m_reconnect.stop();
    m_registerTimeout.stop();
    dropSocket();
    setRegistered(false);
}

void DeviceLink::dropSocket() {
    QWebSocket *old = m_socket;
    if (!old)
        return;
    m_socket.clear();
    old->disconnect(this);
    // Let a close frame go out, then free the socket; never wait long for the peer.
    connect(old, &QWebSocket::disconnected, old, &QObject::deleteLater);
    QTimer::singleShot(2000, old, [old] {
        old->abort();
        old->deleteLater();
    });
    if (old->state() == QAbstractSocket::ConnectedState)
        old->close(QWebSocketProtocol::CloseCodeGoingAway);
    else
        old->deleteLater();
}

void DeviceLink::open() {
    if (!m_running)
        return;
    dropSocket();
    qCInfo(lcLink) << "connecting to" << deviceUrl(m_server).toString();
    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(kMaxIncoming);
    socket->setMaxAllowedIncomingFrameSize(kMaxIncoming);
    connect(socket, &QWebSocket::connected, this, &DeviceLink::onConnected);
    connect(socket, &QWebSocket::textMessageReceived, this, &DeviceLink::onText);
    connect(socket, &QWebSocket::disconnected, this, &DeviceLink::onClosed);
    // wss: the system's CA store decides and a failure is never ignored; say why in the log.
    connect(socket, &QWebSocket::sslErrors, this, [](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            qCWarning(lcLink) << "server certificate not accepted:" << e.errorString();
    });
    m_socket = socket;
    socket->open(deviceUrl(m_server));
}

void DeviceLink::onConnected() {
    QJsonObject reg{{"type", "register"}, {"secret", m_secret}, {"platform", "Linux"}};
    if (!m_name.trimmed().isEmpty())
        reg.insert(QStringLiteral("name"), m_name.left(128));
    m_socket->sendTextMessage(QString::fromUtf8(Json::compact(reg)));
    m_registerTimeout.start(kRegisterTimeoutMs);
}

void DeviceLink::onText(const QString &text) {
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject())
        return;
    const QJsonObject msg = doc.object();
    const QString type = msg.value(QLatin1String("type")).toString();
    if (type == QLatin1String("registered")) {
        const QString id = msg.value(QLatin1String("id")).toString();
        m_registerTimeout.stop();
        m_delayMs = 1000;
        if (id != m_deviceId) {
            m_deviceId = id;
            Q_EMIT deviceIdChanged(id);
        }
        qCInfo(lcLink) << "registered as" << id;
        setRegistered(true);
    } else if (type == QLatin1String("error") && !msg.contains(QLatin1String("sid"))) {
        qCWarning(lcLink) << "server error:" << msg.value(QLatin1String("error")).toString();
    } else if (msg.value(QLatin1String("sid")).isString()) {
        Q_EMIT sessionMessage(msg);
    }
}

void DeviceLink::onClosed() {
    m_registerTimeout.stop();
    const int code = m_socket ? int(m_socket->closeCode()) : 0;
    qCInfo(lcLink) << "socket closed" << code << (m_socket ? m_socket->closeReason() : QString());
    setRegistered(false);
    if (code == kCloseDeleted && !m_deviceId.isEmpty()) {
        // The registration was deleted: the next one brings a new ID.
        m_deviceId.clear();
        Q_EMIT deviceIdChanged(m_deviceId);
    }
    scheduleReconnect();
}

void DeviceLink::scheduleReconnect() {
    if (!m_running || m_reconnect.isActive())
        return;
    m_reconnect.start(m_delayMs);
    m_delayMs = std::min(m_delayMs * 2, kMaxDelayMs);
}

void DeviceLink::setRegistered(bool on) {
    if (m_registered == on)
        return;
    m_registered = on;
    Q_EMIT registeredChanged(on);
}

void DeviceLink::setName(const QString &name) {
    if (m_name == name)
        return;
    m_name = name;
    if (m_registered && !name.trimmed().isEmpty())
        send({{"type", "update"}, {"name", name.left(128)}});
}

void DeviceLink::send(const QJsonObject &message) {
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_socket->sendTextMessage(QString::fromUtf8(Json::compact(message)));
}

void DeviceLink::sendThumbnail(const QByteArray &image) {
    if (m_socket && m_registered && image.size() <= 256 * 1024)
        m_socket->sendBinaryMessage(image);
}
