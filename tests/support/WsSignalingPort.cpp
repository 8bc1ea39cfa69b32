#include "support/WsSignalingPort.h"

#include <QJsonDocument>
#include <QPointer>
#include <QUrl>

WsSignalingPort::WsSignalingPort(const QString &server) {
    QUrl url(server);
    url.setScheme(QStringLiteral("ws"));
    url.setPath(QStringLiteral("/ws/viewer"));
    QObject::connect(&m_ws, &QWebSocket::textMessageReceived, &m_ws, [this](const QString &text) {
        const QJsonObject msg = QJsonDocument::fromJson(text.toUtf8()).object();
        if (msg.value("type").toString() == QLatin1String("hello")) {
            m_greeted = true;
            for (auto &w : std::exchange(m_waiters, {}))
                w();
            return;
        }
        const auto handler = m_handlers.value(msg.value("sid").toString());
        if (handler)
            handler(msg);
    });
    m_ws.open(url);
}

void WsSignalingPort::connect(QObject *context, std::function<void(Result<std::monostate>)> done) {
    QPointer<QObject> ctx(context);
    auto call = [ctx, done] {
        if (ctx)
            done(Result<std::monostate>::success({}));
    };
    if (m_greeted)
        QMetaObject::invokeMethod(context, call, Qt::QueuedConnection);
    else
        m_waiters.append(call);
}

void WsSignalingPort::turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) {
    QMetaObject::invokeMethod(
        context, [done] { done(Result<Ice>::success(Ice{})); }, Qt::QueuedConnection);
}

void WsSignalingPort::send(const QJsonObject &message) {
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    QMetaObject::invokeMethod(
        &m_ws, [this, text] { m_ws.sendTextMessage(text); }, Qt::QueuedConnection);
}

void WsSignalingPort::attach(const QString &sid, std::function<void(const QJsonObject &)> handler) {
    m_handlers.insert(sid, std::move(handler));
}
