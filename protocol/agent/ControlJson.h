#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// Decoding helpers shared by the agent API records. The agent may send keys in
// snake case ("auto_passcode") or camel case ("autoPasscode"); answers are
// normalised to camel case once, before any record looks at them.
namespace ControlJson {

// "auto_passcode" -> "autoPasscode". Keys without an inner underscore are kept;
// leading and trailing underscores are kept as they are.
QString snakeToCamel(const QString &key);
// Converts every object key, at every depth.
QJsonValue camelized(const QJsonValue &value);
QJsonObject camelized(const QJsonObject &object);

// Exact typed reads: nullopt when absent, null or of another type.
std::optional<QString> string(const QJsonObject &o, const QString &key);
std::optional<bool> boolean(const QJsonObject &o, const QString &key);
// Whole numbers only (2.5 fails), within the target range.
std::optional<qint64> int64(const QJsonObject &o, const QString &key);
std::optional<int> int32(const QJsonObject &o, const QString &key);
std::optional<double> number(const QJsonObject &o, const QString &key);

// A list whose every element decodes; nullopt when the key is not an array or
// any element fails (the caller then uses its default).
template <class T, class Decode> std::optional<QList<T>> list(const QJsonObject &o, const QString &key, Decode decode) {
    const QJsonValue v = o.value(key);
    if (!v.isArray())
        return std::nullopt;
    QList<T> out;
    const QJsonArray a = v.toArray();
    out.reserve(a.size());
    for (const QJsonValue &e : a) {
        std::optional<T> item = decode(e);
        if (!item)
            return std::nullopt;
        out.append(std::move(*item));
    }
    return out;
}

} // namespace ControlJson
