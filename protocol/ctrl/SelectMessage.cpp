#include "protocol/ctrl/SelectMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject SelectMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"mode", mode}, {"id", id}});
}

SelectMessage SelectMessage::fromJson(const QJsonObject &message) {
    return {message.value(QLatin1StringView("mode")).toString(),
            Json::integral(message.value(QLatin1StringView("id")), -Json::maxExact, Json::maxExact).value_or(0)};
}
