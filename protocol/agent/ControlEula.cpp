#include "protocol/agent/ControlEula.h"

#include "protocol/agent/ControlJson.h"

std::optional<ControlEula> ControlEula::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    const auto version = ControlJson::string(o, QStringLiteral("version"));
    const auto hash = ControlJson::string(o, QStringLiteral("hash"));
    const auto body = ControlJson::string(o, QStringLiteral("body"));
    if (!version || !hash || !body)
        return std::nullopt;
    return ControlEula{*version, *hash, *body};
}

QJsonObject ControlEula::toJson() const {
    return QJsonObject{{"version", version}, {"hash", hash}, {"body", body}};
}
