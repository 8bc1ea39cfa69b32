#include "protocol/ctrl/WindowEndMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/WindowMessage.h"

QJsonObject WindowEndMessage::toJson() const {
    QJsonObject fields{{"win", win}};
    if (!reason.isEmpty())
        fields.insert(QLatin1StringView("reason"), reason);
    return CtrlMessage::tagged(tag, fields);
}

std::optional<WindowEndMessage> WindowEndMessage::read(const QJsonObject &message) {
    const std::optional<qint64> win =
        Json::integral(message.value(QLatin1StringView("win")), 1, WindowMessage::maxWindows);
    if (!win)
        return std::nullopt;
    return WindowEndMessage{int(*win), message.value(QLatin1StringView("reason")).toString().left(200)};
}
