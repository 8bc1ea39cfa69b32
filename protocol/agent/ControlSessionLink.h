#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

struct StatsMessage;

// How the picture reaches one viewer, as the agent lists it under its session (the
// figures of the last "stats" it sent that viewer): so that the host user sees, as the
// viewer does, why the picture got softer. Tolerant decoding.
struct ControlSessionLink {
    QString codec;   // "h264" or "jpeg"
    int fps = 0;     // frames sent in the last second
    qint64 kbps = 0; // kilobits sent in the last second
    std::optional<qint64> targetKbps;
    std::optional<qint64> estimateKbps; // what the link is estimated to carry
    std::optional<double> lossPercent;
    std::optional<int> rttMs;
    QString limit; // "回線", "CPU" or empty: what holds the picture back

    bool operator==(const ControlSessionLink &) const = default;

    static ControlSessionLink fromStats(const StatsMessage &stats);
    QJsonObject toJson() const;
    // nullopt only when the value is not an object.
    static std::optional<ControlSessionLink> fromJson(const QJsonValue &value);
    // One line for the host's windows, e.g.
    // "H.264  15 fps  1480 kbps(目標 1500・推定 1800 kbps)  損失 2.0%  往復 40 ms  回線で制限".
    QString line() const;
};
