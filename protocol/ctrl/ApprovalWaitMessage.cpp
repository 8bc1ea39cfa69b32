#include "protocol/ctrl/ApprovalWaitMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

#include <algorithm>

QJsonObject ApprovalWaitMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"sec", std::clamp<qint64>(sec, 0, maxSec)}});
}

ApprovalWaitMessage ApprovalWaitMessage::fromJson(const QJsonObject &message) {
    const qint64 sec =
        Json::integral(message.value(QLatin1StringView("sec")), -Json::maxExact, Json::maxExact).value_or(defaultSec);
    return {std::clamp<qint64>(sec, 0, maxSec)};
}
