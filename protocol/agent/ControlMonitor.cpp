#include "protocol/agent/ControlMonitor.h"

#include "protocol/agent/ControlJson.h"

std::optional<ControlMonitor> ControlMonitor::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    const auto id = ControlJson::int32(o, QStringLiteral("id"));
    const auto name = ControlJson::string(o, QStringLiteral("name"));
    const auto w = ControlJson::int32(o, QStringLiteral("w"));
    const auto h = ControlJson::int32(o, QStringLiteral("h"));
    const auto primary = ControlJson::boolean(o, QStringLiteral("primary"));
    if (!id || !name || !w || !h || !primary)
        return std::nullopt;
    return ControlMonitor{*id, *name, *w, *h, *primary};
}

QJsonObject ControlMonitor::toJson() const {
    return QJsonObject{{"id", id}, {"name", name}, {"w", w}, {"h", h}, {"primary", primary}};
}
