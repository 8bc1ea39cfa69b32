#include "SharedSignalingPort.h"

#include "Signaling.h"

#include <QTimer>

std::shared_ptr<SignalingPort> SignalingPort::shared() {
    static const std::shared_ptr<SignalingPort> port = std::make_shared<SharedSignalingPort>();
    return port;
}

void SharedSignalingPort::connect(QObject *context, std::function<void(QString)> done) {
    Signaling::shared()->connect(context, [done = std::move(done)](bool ok) {
        done(ok ? QString() : QStringLiteral("サーバーに接続できませんでした。"));
    });
}

void SharedSignalingPort::turnCredentials(QObject *context, std::function<void(Ice)> done) {
    QTimer::singleShot(0, context, [done = std::move(done)] { done(Ice{}); });
}

void SharedSignalingPort::send(const QJsonObject &) {}

void SharedSignalingPort::attach(const QString &, std::function<void(const QJsonObject &)>) {}

void SharedSignalingPort::detach(const QString &) {}
