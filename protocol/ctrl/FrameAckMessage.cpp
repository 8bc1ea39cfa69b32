#include "protocol/ctrl/FrameAckMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject FrameAckMessage::toJson() const {
    QJsonObject fields{{"seq", double(seq)}};
    if (win > 0)
        fields.insert(QLatin1StringView("win"), win);
    return CtrlMessage::tagged(tag, fields);
}

std::optional<FrameAckMessage> FrameAckMessage::read(const QJsonObject &message) {
    const std::optional<qint64> seq = Json::integral(message.value(QLatin1StringView("seq")), 0, 4294967295LL);
    if (!seq)
        return std::nullopt;
    const qint64 win = Json::integral(message.value(QLatin1StringView("win")), 0, 255).value_or(0);
    return FrameAckMessage{quint32(*seq), int(win)};
}

FrameAckMessage FrameAckMessage::fromJson(const QJsonObject &message) {
    return read(message).value_or(FrameAckMessage{});
}
