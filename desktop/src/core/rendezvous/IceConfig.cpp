#include "rendezvous/IceConfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {
// A string, or absent for null/missing; nullopt-of-optional for any other type.
bool optionalString(const QJsonValue &v, std::optional<QString> &out) {
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isString())
        return false;
    out = v.toString();
    return true;
}
} // namespace

std::optional<IceConfig> IceConfig::decode(const QByteArray &json) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const QJsonValue urls = o.value(QLatin1String("urls"));
    if (!urls.isArray())
        return std::nullopt;
    IceConfig c;
    for (const QJsonValue &u : urls.toArray()) {
        if (!u.isString())
            return std::nullopt;
        c.urls.append(u.toString());
    }
    if (!optionalString(o.value(QLatin1String("username")), c.username) ||
        !optionalString(o.value(QLatin1String("credential")), c.credential))
        return std::nullopt;
    return c;
}

QJsonObject IceConfig::toJson() const {
    return QJsonObject{{"urls", QJsonArray::fromStringList(urls)},
                       {"username", username ? QJsonValue(*username) : QJsonValue(QJsonValue::Null)},
                       {"credential", credential ? QJsonValue(*credential) : QJsonValue(QJsonValue::Null)}};
}
