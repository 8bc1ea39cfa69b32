#include "protocol/ctrl/AuthMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject AuthMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"a", a}, {"f", f}});
}

AuthMessage AuthMessage::fromJson(const QJsonObject &message) {
    return {message.value(QLatin1StringView("a")).toString(), message.value(QLatin1StringView("f")).toString()};
}
