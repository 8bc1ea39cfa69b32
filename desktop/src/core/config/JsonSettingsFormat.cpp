#include "config/JsonSettingsFormat.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
// Bytes are kept as {"base64": "..."} so they come back as bytes.
QJsonValue toJson(const QVariant &v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return v.toLongLong(); // whole numbers stay exact beyond 2^53
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble();
    case QMetaType::QByteArray:
        return QJsonObject{{"base64", QString::fromLatin1(v.toByteArray().toBase64())}};
    case QMetaType::QString:
        return v.toString();
    default:
        return QJsonValue::fromVariant(v);
    }
}

QVariant fromJson(const QJsonValue &v) {
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        if (o.size() == 1 && o.value("base64").isString())
            return QByteArray::fromBase64(o.value("base64").toString().toLatin1());
    }
    return v.toVariant();
}

bool readJson(QIODevice &device, QSettings::SettingsMap &map) {
    const QJsonDocument doc = QJsonDocument::fromJson(device.readAll());
    if (!doc.isObject())
        return true; // an unreadable file reads as empty settings
    const QJsonObject o = doc.object();
    for (auto it = o.begin(); it != o.end(); ++it)
        map.insert(it.key(), fromJson(it.value()));
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map) {
    QJsonObject o;
    for (auto it = map.begin(); it != map.end(); ++it)
        o.insert(it.key(), toJson(it.value()));
    return device.write(QJsonDocument(o).toJson(QJsonDocument::Indented)) >= 0;
}
} // namespace

namespace JsonSettingsFormat {
QSettings::Format format() {
    static const QSettings::Format f = QSettings::registerFormat("json", readJson, writeJson);
    return f;
}
} // namespace JsonSettingsFormat
