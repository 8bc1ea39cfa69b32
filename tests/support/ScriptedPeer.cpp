#include "support/ScriptedPeer.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

ScriptedPeer::ScriptedPeer(QObject *parent) : QObject(parent) {
    connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
        if (doc.isObject())
            m_received.append(doc.object());
    });
    connect(&m_socket, &QWebSocket::disconnected, this, [this] {
        m_closed = true;
        m_closeCode = m_socket.closeCode();
    });
}

bool ScriptedPeer::open(const QString &wsUrl, int timeoutMs) {
    m_closed = false;
    m_closeCode = -1;
    QSignalSpy spy(&m_socket, &QWebSocket::connected);
    m_socket.open(QUrl(wsUrl));
    return spy.wait(timeoutMs);
}

bool ScriptedPeer::registerAt(const QString &wsUrl, const QString &secret, const QString &name, const QString &platform,
                              int timeoutMs) {
    if (!open(wsUrl, timeoutMs))
        return false;
    send(QJsonObject{{"type", "register"}, {"secret", secret}, {"name", name}, {"platform", platform}});
    const auto reply = take(QStringLiteral("registered"), {}, timeoutMs);
    if (!reply)
        return false;
    m_id = reply->value("id").toString();
    return !m_id.isEmpty();
}

void ScriptedPeer::send(const QJsonObject &message) {
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

std::optional<QJsonObject> ScriptedPeer::take(const QString &type, const QString &sid, int timeoutMs) {
    auto find = [&]() -> std::optional<QJsonObject> {
        for (qsizetype i = 0; i < m_received.size(); ++i) {
            const QJsonObject &m = m_received[i];
            if (m.value("type").toString() == type && (sid.isEmpty() || m.value("sid").toString() == sid))
                return m_received.takeAt(i);
        }
        return std::nullopt;
    };
    std::optional<QJsonObject> found;
    (void)QTest::qWaitFor([&] { return (found = find()).has_value(); }, timeoutMs);
    return found;
}

bool ScriptedPeer::nothing(const QString &type, int waitMs) {
    QTest::qWait(waitMs);
    for (const QJsonObject &m : std::as_const(m_received)) {
        if (m.value("type").toString() == type)
            return false;
    }
    return true;
}
