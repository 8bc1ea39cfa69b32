#include "agent/ControlEndpoint.h"

#include "protocol/agent/ControlJson.h"

#include <QFile>
#include <QJsonDocument>

std::optional<ControlEndpoint> ControlEndpoint::decode(const QByteArray &json) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const auto port = ControlJson::int64(o, QStringLiteral("port"));
    const auto token = ControlJson::string(o, QStringLiteral("token"));
    const auto pid = ControlJson::int32(o, QStringLiteral("pid"));
    if (!port || !token || !pid)
        return std::nullopt;
    return ControlEndpoint{*port, *token, *pid};
}

std::optional<ControlEndpoint> ControlEndpoint::read(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    constexpr qint64 limit = 64 * 1024;
    const QByteArray bytes = f.read(limit + 1);
    if (bytes.size() > limit)
        return std::nullopt;
    return decode(bytes);
}
