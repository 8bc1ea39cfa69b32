#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The contents of control.json: where the agent's control API listens. Decoded
// strictly, keys matched exactly (no snake-case conversion).
struct ControlEndpoint {
    qint64 port = 0;
    QString token;
    qint32 pid = 0;

    bool operator==(const ControlEndpoint &) const = default;

    // nullopt when the bytes are not a JSON object holding all three keys with
    // the right types (the file then counts as not there).
    static std::optional<ControlEndpoint> decode(const QByteArray &json);
    // Reads and decodes a file; nullopt when it cannot be read. Files larger
    // than 64 KiB are not a control.json and are not read whole.
    static std::optional<ControlEndpoint> read(const QString &path);
};
