#include "protocol/ctrl/PongMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject PongMessage::toJson() const {
    return ts ? CtrlMessage::tagged(tag, {{"ts", *ts}}) : CtrlMessage::tagged(tag);
}

PongMessage PongMessage::fromJson(const QJsonObject &message) {
    const QJsonValue ts = message.value(QLatin1StringView("ts"));
    return {ts.isDouble() ? std::optional<double>(ts.toDouble()) : std::nullopt};
}
