#include "support/LoopbackSignalingPort.h"

#include <QTimer>

void LoopbackSignalingPort::connect(QObject *context, std::function<void(Result<std::monostate>)> done) {
    QTimer::singleShot(0, context, [this, done = std::move(done)] {
        if (connectError.isEmpty())
            done(Result<std::monostate>::success({}));
        else
            done(Result<std::monostate>::failure(Error::make(Error::Kind::Unreachable, connectError)));
    });
}

void LoopbackSignalingPort::turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) {
    QTimer::singleShot(0, context, [this, done = std::move(done)] { done(Result<Ice>::success(ice)); });
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
