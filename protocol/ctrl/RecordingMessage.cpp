#include "protocol/ctrl/RecordingMessage.h"

#include "protocol/ctrl/CtrlMessage.h"

QJsonObject RecordingMessage::toJson() const {
    return CtrlMessage::tagged(tag, QJsonObject{{"on", on}});
}

std::optional<RecordingMessage> RecordingMessage::read(const QJsonObject &message) {
    const QJsonValue on = message.value(QLatin1StringView("on"));
    if (!CtrlMessage::is<RecordingMessage>(message) || !on.isBool())
        return std::nullopt;
    return RecordingMessage{on.toBool()};
}
