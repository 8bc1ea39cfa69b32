#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

// "stats", host → viewer, once a second: what the host sent in that second. The viewer
// shows the object as it came (fields it does not know are kept for the statistics view).
struct StatsMessage {
    static constexpr QLatin1StringView tag{"stats"};

    QString codec;   // "jpeg" or "h264"
    QString encoder; // the encoder element in use ("enc")
    int fps = 0;     // frames sent
    qint64 kbps = 0; // kilobits sent
    bool relay = false;
    // How the host sees the path, as its link-rate and pacing code reports it ("target",
    // "fpsCap", "est", "keys", "skipped", "limit", …): written beside the fields above,
    // and whatever else a message carries is read back into it.
    QJsonObject link;

    QJsonObject toJson() const;
    static StatsMessage fromJson(const QJsonObject &message);
    bool operator==(const StatsMessage &) const = default;
};
