#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVariantMap>

// A quality preset: what the host should send.
struct Quality {
    int fps = 15;
    double scale = 0.75;
    int q = 60;
    int kbps = 4000;

    bool operator==(const Quality &) const = default;

    // The four entries sent to the host when asking for a quality.
    QJsonObject dict() const {
        return QJsonObject{{"fps", fps}, {"scale", scale}, {"q", q}, {"kbps", kbps}};
    }
};

struct QualityPreset {
    QString key;
    QString label;
    Quality quality;
};

// The three presets in display order: "speed", "balanced", "quality".
const QList<QualityPreset> &presetList();
// Preset key → quality.
const QMap<QString, Quality> &presets();
