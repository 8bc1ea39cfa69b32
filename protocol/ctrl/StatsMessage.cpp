#include "protocol/ctrl/StatsMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

QJsonObject StatsMessage::toJson() const {
    return CtrlMessage::tagged(tag,
                               {{"codec", codec}, {"enc", encoder}, {"fps", fps}, {"kbps", kbps}, {"relay", relay}});
}

StatsMessage StatsMessage::fromJson(const QJsonObject &message) {
    StatsMessage s;
    s.codec = message.value(QLatin1StringView("codec")).toString();
    s.encoder = message.value(QLatin1StringView("enc")).toString();
    s.fps = Json::int32(message.value(QLatin1StringView("fps"))).value_or(0);
    s.kbps = Json::integral(message.value(QLatin1StringView("kbps")), 0, Json::maxExact).value_or(0);
    s.relay = message.value(QLatin1StringView("relay")).toBool(false);
    return s;
}
