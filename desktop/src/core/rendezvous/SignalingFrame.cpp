#include "rendezvous/SignalingFrame.h"

#include <QJsonDocument>
#include <QJsonParseError>

SignalingFrame SignalingFrame::parse(const QString &text) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return {};
    return fromObject(doc.object());
}

SignalingFrame SignalingFrame::fromObject(const QJsonObject &message) {
    SignalingFrame f;
    const QJsonValue type = message.value(QLatin1String("type"));
    if (type.isString() && type.toString() == QLatin1String("hello")) {
        const QJsonValue id = message.value(QLatin1String("id"));
        f.kind = Kind::Hello;
        f.id = id.isString() ? std::optional<QString>(id.toString()) : std::nullopt;
        f.message = message;
        return f;
    }
    const QJsonValue sid = message.value(QLatin1String("sid"));
    if (!sid.isString())
        return f;
    f.kind = Kind::Routed;
    f.sid = sid.toString();
    f.message = message;
    return f;
}
