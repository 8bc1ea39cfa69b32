#include "protocol/ctrl/CursorMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject CursorMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"x", x}, {"y", y}});
}

CursorMessage CursorMessage::fromJson(const QJsonObject &message) {
    return {message.value(QLatin1StringView("x")).toDouble(0), message.value(QLatin1StringView("y")).toDouble(0)};
}
