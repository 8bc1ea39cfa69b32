#include "protocol/Json.h"

#include <QJsonDocument>

QByteArray Json::compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray Json::compact(const QJsonArray &a) {
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

std::optional<qint64> Json::integral(const QJsonValue &v, qint64 min, qint64 max) {
    if (!v.isDouble())
        return std::nullopt;
    // toInteger keeps 64-bit precision for integers parsed as such, and fails
    // for a fraction, a non-finite value or one outside qint64.
    constexpr qint64 sentinel = std::numeric_limits<qint64>::min();
    const qint64 i = v.toInteger(sentinel);
    if (i == sentinel && v.toDouble() != static_cast<double>(sentinel))
        return std::nullopt;
    if (i < min || i > max)
        return std::nullopt;
    return i;
}

std::optional<int> Json::int32(const QJsonValue &v) {
    const auto i = integral(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    return i ? std::optional<int>(int(*i)) : std::nullopt;
}
