#include "protocol/ctrl/StillMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject StillMessage::toJson() const {
    return CtrlMessage::tagged(tag);
}

StillMessage StillMessage::fromJson(const QJsonObject &) {
    return {};
}
