#include "protocol/ctrl/LockedMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject LockedMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"retry_sec", retrySec}});
}

LockedMessage LockedMessage::fromJson(const QJsonObject &message) {
    return {Json::integral(message.value(QLatin1StringView("retry_sec")), -Json::maxExact, Json::maxExact).value_or(0)};
}
