#include "protocol/agent/ControlJson.h"

#include "protocol/Json.h"

#include <cmath>

namespace ControlJson {

QString snakeToCamel(const QString &key) {
    qsizetype first = 0;
    while (first < key.size() && key[first] == u'_')
        ++first;
    if (first == key.size())
        return key;
    qsizetype last = key.size() - 1;
    while (key[last] == u'_')
        --last;
    const QStringView core = QStringView(key).mid(first, last - first + 1);
    if (!core.contains(u'_'))
        return key;
    QString out = key.left(first);
    bool firstPart = true;
    for (const QStringView part : core.split(u'_', Qt::SkipEmptyParts)) {
        if (firstPart) {
            out += part.toString().toLower();
            firstPart = false;
        } else {
            out += part.left(1).toString().toUpper() + part.mid(1).toString().toLower();
        }
    }
    out += key.mid(last + 1);
    return out;
}

QJsonObject camelized(const QJsonObject &object) {
    QJsonObject out;
    for (auto it = object.begin(); it != object.end(); ++it)
        out.insert(snakeToCamel(it.key()), camelized(it.value()));
    return out;
}

QJsonValue camelized(const QJsonValue &value) {
    if (value.isObject())
        return camelized(value.toObject());
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue &e : value.toArray())
            out.append(camelized(e));
        return out;
    }
    return value;
}

std::optional<QString> string(const QJsonObject &o, const QString &key) {
    const QJsonValue v = o.value(key);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<bool> boolean(const QJsonObject &o, const QString &key) {
    const QJsonValue v = o.value(key);
    if (!v.isBool())
        return std::nullopt;
    return v.toBool();
}

std::optional<qint64> int64(const QJsonObject &o, const QString &key) {
    return Json::integral(o.value(key));
}

std::optional<int> int32(const QJsonObject &o, const QString &key) {
    return Json::int32(o.value(key));
}

std::optional<double> number(const QJsonObject &o, const QString &key) {
    const QJsonValue v = o.value(key);
    if (!v.isDouble() || !std::isfinite(v.toDouble()))
        return std::nullopt;
    return v.toDouble();
}

} // namespace ControlJson
