#include "protocol/agent/ControlAsk.h"

#include "protocol/agent/ControlJson.h"

std::optional<ControlAsk> ControlAsk::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    const auto sid = ControlJson::string(o, QStringLiteral("sid"));
    const auto name = ControlJson::string(o, QStringLiteral("name"));
    const auto ip = ControlJson::string(o, QStringLiteral("ip"));
    const auto at = ControlJson::int64(o, QStringLiteral("at"));
    if (!sid || !name || !ip || !at)
        return std::nullopt;
    return ControlAsk{*sid, *name, *ip, *at};
}

QJsonObject ControlAsk::toJson() const {
    return QJsonObject{{"sid", sid}, {"name", name}, {"ip", ip}, {"at", at}};
}
