#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// The ICE servers of one peer connection: one entry, all URLs sharing the credentials.
struct IceConfig {
    QStringList urls;
    std::optional<QString> username;
    std::optional<QString> credential;

    bool operator==(const IceConfig &) const = default;

    // Strict: "urls" must be an array of strings; "username" and "credential" strings,
    // null or missing; other keys are ignored.
    static std::optional<IceConfig> decode(const QByteArray &json);
    // Absent fields as null.
    QJsonObject toJson() const;
};
