#include "protocol/ctrl/FrameAckMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject FrameAckMessage::toJson() const {
    return CtrlMessage::tagged(tag, {{"seq", double(seq)}});
}

std::optional<FrameAckMessage> FrameAckMessage::read(const QJsonObject &message) {
    const std::optional<qint64> seq = Json::integral(message.value(QLatin1StringView("seq")), 0, 4294967295LL);
    if (!seq)
        return std::nullopt;
    return FrameAckMessage{quint32(*seq)};
}

FrameAckMessage FrameAckMessage::fromJson(const QJsonObject &message) {
    return read(message).value_or(FrameAckMessage{});
}
