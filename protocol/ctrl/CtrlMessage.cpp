#include "protocol/ctrl/CtrlMessage.h"

#include <QJsonDocument>

QString CtrlMessage::tagOf(const QJsonObject &message) {
    const QJsonValue t = message.value(tagKey);
    return t.isString() ? t.toString() : QString();
}

std::optional<QJsonObject> CtrlMessage::parse(const QByteArray &text) {
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

QJsonObject CtrlMessage::tagged(QLatin1StringView tag, QJsonObject fields) {
    fields.insert(tagKey, tag);
    return fields;
}
