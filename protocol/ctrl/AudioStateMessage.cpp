#include "protocol/ctrl/AudioStateMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject AudioStateMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"on", on}});
}

AudioStateMessage AudioStateMessage::fromJson(const QJsonObject &message) {
    const QJsonValue on = message.value(QLatin1StringView("on"));
    return {on.isBool() && on.toBool()};
}
