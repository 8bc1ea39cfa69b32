#include "session/Monitor.h"

#include <QJsonArray>

#include <cmath>
#include <limits>

namespace {
// JSON numbers that are integral and fit an int; anything else takes the default.
int intOr(const QJsonValue &v, int fallback) {
    if (!v.isDouble())
        return fallback;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < std::numeric_limits<int>::min() ||
        d > std::numeric_limits<int>::max())
        return fallback;
    return int(d);
}
} // namespace

Monitor Monitor::fromJson(const QJsonObject &o) {
    Monitor m;
    m.id = intOr(o.value("id"), 0);
    m.name = o.value("name").isString() ? o.value("name").toString() : QString();
    m.w = intOr(o.value("w"), 0);
    m.h = intOr(o.value("h"), 0);
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
