#include "protocol/DeviceInfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

std::optional<DeviceInfo> DeviceInfo::fromJson(const QJsonObject &o) {
    const QJsonValue id = o.value(QLatin1String("id"));
    const QJsonValue name = o.value(QLatin1String("name"));
    const QJsonValue platform = o.value(QLatin1String("platform"));
    const QJsonValue online = o.value(QLatin1String("online"));
    if (!id.isString() || !name.isString() || !online.isBool())
        return std::nullopt;
    if (!platform.isUndefined() && !platform.isNull() && !platform.isString())
        return std::nullopt;
    DeviceInfo d;
    d.id = id.toString();
    d.name = name.toString();
    if (platform.isString())
        d.platform = platform.toString();
    d.online = online.toBool();
    return d;
}

QJsonObject DeviceInfo::toJson() const {
    return QJsonObject{{"id", id},
                       {"name", name},
                       {"platform", platform ? QJsonValue(*platform) : QJsonValue(QJsonValue::Null)},
                       {"online", online}};
}

std::optional<DeviceInfo> DeviceInfo::decode(const QByteArray &json) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return fromJson(doc.object());
}

std::optional<QList<DeviceInfo>> DeviceInfo::decodeList(const QByteArray &json) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    QList<DeviceInfo> list;
    const QJsonArray array = doc.array();
    list.reserve(array.size());
    for (const QJsonValue &v : array) {
        if (!v.isObject())
            return std::nullopt;
        std::optional<DeviceInfo> d = fromJson(v.toObject());
        if (!d)
            return std::nullopt;
        list.append(std::move(*d));
    }
    return list;
}
