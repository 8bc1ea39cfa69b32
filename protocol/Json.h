#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

#include <limits>
#include <optional>

// The JSON conventions of every message on the wire: compact text, and numbers
// that must be whole (a count, an id, a size) taken only when they are integral
// and in range, never rounded or truncated.
class Json {
public:
    // The largest integer a double holds exactly (2^53).
    static constexpr qint64 maxExact = 9007199254740992;

    static QByteArray compact(const QJsonObject &o);
    static QByteArray compact(const QJsonArray &a);

    // The value as an integer when it is a finite, integral number within
    // [min, max]; nullopt for anything else (a string, a fraction, out of range).
    static std::optional<qint64> integral(const QJsonValue &v, qint64 min = std::numeric_limits<qint64>::min(),
                                          qint64 max = std::numeric_limits<qint64>::max());
    // integral() within the range of int.
    static std::optional<int> int32(const QJsonValue &v);
};
