#include "protocol/ctrl/WindowMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject WindowMessage::toJson() const {
    QJsonObject fields = quality.clamped().dict();
    fields.insert(QLatin1StringView("win"), win);
    fields.insert(QLatin1StringView("id"), id);
    return CtrlMessage::tagged(tag, fields);
}

std::optional<WindowMessage> WindowMessage::read(const QJsonObject &message, const QualityRequest &current) {
    const std::optional<qint64> win = Json::integral(message.value(QLatin1StringView("win")), 1, maxWindows);
    const std::optional<qint64> id =
        Json::integral(message.value(QLatin1StringView("id")), -Json::maxExact, Json::maxExact);
    if (!win || !id)
        return std::nullopt;
    return WindowMessage{int(*win), *id, QualityRequest::fromJson(message, current)};
}
