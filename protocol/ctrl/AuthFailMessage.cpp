#include "protocol/ctrl/AuthFailMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject AuthFailMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"remaining", remaining}});
}

AuthFailMessage AuthFailMessage::fromJson(const QJsonObject &message) {
    return {Json::integral(message.value(QLatin1StringView("remaining")), -Json::maxExact, Json::maxExact).value_or(0)};
}
