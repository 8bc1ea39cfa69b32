#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

// What every message on a session's "ctrl" data channel shares: a JSON object whose
// "t" names it. Each message has its record in this folder (its tag, its fields, their
// limits, toJson / fromJson); both ends and the tests' peers build and read messages only
// through those records. A message whose tag no record knows is ignored by both ends.
class CtrlMessage {
public:
    static constexpr QLatin1StringView tagKey{"t"};

    // The message's tag; "" when the text is not an object with a string "t".
    static QString tagOf(const QJsonObject &message);
    // The object a text message carries; none when it is not a JSON object.
    static std::optional<QJsonObject> parse(const QByteArray &text);
    // `fields` with its tag, as compact text.
    static QJsonObject tagged(QLatin1StringView tag, QJsonObject fields = {});

    // True when `message` is of record type M.
    template <typename M> static bool is(const QJsonObject &message) { return tagOf(message) == M::tag; }
};
