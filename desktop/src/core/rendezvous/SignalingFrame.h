#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// What one incoming text frame of the signaling socket is: the server's greeting,
// a message for the session under `sid`, or noise to drop. Reading a frame needs
// no state, so the routing rules live here apart from the socket.
struct SignalingFrame {
    enum class Kind { Noise, Hello, Routed };

    Kind kind = Kind::Noise;
    std::optional<QString> id; // Hello: the id it gave, when a string
    QString sid;               // Routed
    QJsonObject message;       // Hello and Routed: the whole object

    bool operator==(const SignalingFrame &) const = default;

    // A JSON object whose "type" is "hello" is the greeting (whatever else it
    // carries); otherwise one with a string "sid" is routed; all else is noise.
    static SignalingFrame parse(const QString &text);
    static SignalingFrame fromObject(const QJsonObject &message);
};
