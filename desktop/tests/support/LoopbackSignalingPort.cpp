#include "support/LoopbackSignalingPort.h"

#include <QTimer>

void LoopbackSignalingPort::connect(QObject *context, std::function<void(QString)> done) {
    QTimer::singleShot(0, context, [this, done = std::move(done)] { done(connectError); });
}

void LoopbackSignalingPort::turnCredentials(QObject *context, std::function<void(Ice)> done) {
    QTimer::singleShot(0, context, [this, done = std::move(done)] { done(ice); });
}

void LoopbackSignalingPort::send(const QJsonObject &message) {
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            sent.append(message);
            Q_EMIT messageSent(message);
        },
        Qt::QueuedConnection);
}

void LoopbackSignalingPort::attach(const QString &sid, std::function<void(const QJsonObject &)> handler) {
    ++attachCount;
    handlers.insert(sid, std::move(handler));
}

void LoopbackSignalingPort::detach(const QString &sid) {
    handlers.remove(sid);
}

void LoopbackSignalingPort::deliver(const QJsonObject &message) {
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            const auto it = handlers.constFind(message.value("sid").toString());
            if (it != handlers.constEnd())
                (*it)(message);
        },
        Qt::QueuedConnection);
}

QList<QJsonObject> LoopbackSignalingPort::sentOfType(const QString &type) const {
    QList<QJsonObject> out;
    for (const QJsonObject &m : sent)
        if (m.value("type").toString() == type)
            out.append(m);
    return out;
}
