#include "session/Monitor.h"

#include "protocol/Json.h"

#include <QJsonArray>

Monitor Monitor::fromJson(const QJsonObject &o) {
    Monitor m;
    m.id = Json::int32(o.value("id")).value_or(0);
    m.name = o.value("name").isString() ? o.value("name").toString() : QString();
    m.w = Json::int32(o.value("w")).value_or(0);
    m.h = Json::int32(o.value("h")).value_or(0);
    m.primary = o.value("primary").isBool() ? o.value("primary").toBool() : false;
    return m;
}

QList<Monitor> Monitor::listFromJson(const QJsonValue &v) {
    if (!v.isArray())
        return {};
    const QJsonArray a = v.toArray();
    QList<Monitor> out;
    out.reserve(a.size());
    for (const QJsonValue &e : a) {
        if (!e.isObject())
            return {};
        out.append(fromJson(e.toObject()));
    }
    return out;
}
