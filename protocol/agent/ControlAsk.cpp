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
    // Optional (an older agent does not send it); a mistyped one counts as not said.
    const qint64 expires = ControlJson::int64(o, QStringLiteral("expires")).value_or(0);
    const QString viewer = ControlJson::string(o, QStringLiteral("viewer")).value_or(QString());
    const QString fingerprint = ControlJson::string(o, QStringLiteral("fingerprint")).value_or(QString());
    return ControlAsk{*sid, *name, *ip, *at, viewer, fingerprint, expires};
}

QJsonObject ControlAsk::toJson() const {
    return QJsonObject{{"sid", sid},        {"name", name},     {"ip", ip},
                       {"at", at},          {"viewer", viewer}, {"fingerprint", fingerprint},
                       {"expires", expires}};
}
