#include "protocol/ctrl/PingMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/PongMessage.h"

QJsonObject PingMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"ts", ts}});
}

QJsonObject PingMessage::pong() const {
    return PongMessage{ts}.toJson();
}

std::optional<PingMessage> PingMessage::read(const QJsonObject &message) {
    const QJsonValue ts = message.value(QLatin1StringView("ts"));
    if (!ts.isDouble())
        return std::nullopt;
    return PingMessage{ts.toDouble()};
}

PingMessage PingMessage::fromJson(const QJsonObject &message) {
    return read(message).value_or(PingMessage{});
}
