#include "config/DeviceEntry.h"

#include "protocol/Json.h"
#include "util/StringUtils.h"

#include <QJsonDocument>
#include <QJsonObject>

QString DeviceEntry::display() const {
    if (alias && !alias->isEmpty())
        return *alias;
    if (!name.isEmpty())
        return name;
    return formattedId(id);
}

QList<DeviceEntry> DeviceEntry::decodeList(const QByteArray &json, bool *ok) {
    if (ok)
        *ok = false;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray())
        return {};
    QList<DeviceEntry> out;
    for (const QJsonValue &v : doc.array()) {
        if (!v.isObject())
            return {};
        const QJsonObject o = v.toObject();
        if (!o.value("id").isString() || !o.value("name").isString())
            return {};
        DeviceEntry e{o.value("id").toString(), o.value("name").toString(), std::nullopt};
        const QJsonValue a = o.value("alias");
        if (a.isString())
            e.alias = a.toString();
        else if (!a.isUndefined() && !a.isNull())
            return {};
        out.append(e);
    }
    if (ok)
        *ok = true;
    return out;
}

QByteArray DeviceEntry::encodeList(const QList<DeviceEntry> &list) {
    QJsonArray arr;
    for (const DeviceEntry &e : list) {
        QJsonObject o{{"id", e.id}, {"name", e.name}};
        if (e.alias)
            o.insert("alias", *e.alias);
        arr.append(o);
    }
    return Json::compact(arr);
}
