#include "protocol/agent/ControlTransfer.h"

#include "protocol/agent/ControlJson.h"

#include <algorithm>

std::optional<ControlTransfer> ControlTransfer::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    using namespace ControlJson;
    ControlTransfer r;
    r.id = int32(o, QStringLiteral("id")).value_or(0);
    r.sent = boolean(o, QStringLiteral("sent")).value_or(false);
    r.name = string(o, QStringLiteral("name")).value_or(QString());
    r.path = string(o, QStringLiteral("path")).value_or(QString());
    r.size = std::max<qint64>(0, int64(o, QStringLiteral("size")).value_or(0));
    r.done = std::clamp<qint64>(int64(o, QStringLiteral("done")).value_or(0), 0, r.size);
    r.state = string(o, QStringLiteral("state")).value_or(QStringLiteral("waiting"));
    r.message = string(o, QStringLiteral("message")).value_or(QString());
    return r;
}

QJsonObject ControlTransfer::toJson() const {
    return QJsonObject{{"id", id},     {"sent", sent}, {"name", name},   {"path", path},
                       {"size", size}, {"done", done}, {"state", state}, {"message", message}};
}
