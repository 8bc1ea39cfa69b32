#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "audio_state", host → viewer: whether the session carries the host's sound now.
// Anything but true reads as off.
struct AudioStateMessage {
    static constexpr QLatin1StringView tag{"audio_state"};

    bool on = false;
    QJsonObject toJson() const;
    static AudioStateMessage fromJson(const QJsonObject &message);
    bool operator==(const AudioStateMessage &) const = default;
};
