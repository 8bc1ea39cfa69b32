#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <optional>

// "perm", host → viewer: what the host user allows this viewer besides the picture.
// A missing or mistyped right is none: the viewer keeps what it had.
struct PermMessage {
    static constexpr QLatin1StringView tag{"perm"};

    std::optional<bool> clip;
    std::optional<bool> files;
    std::optional<bool> input; // the viewer's keyboard and mouse
    std::optional<bool> mic;   // the viewer's microphone, played on the host
    QJsonObject toJson() const;
    static PermMessage fromJson(const QJsonObject &message);
    bool operator==(const PermMessage &) const = default;
};
