#pragma once

#include "protocol/ctrl/QualityRequest.h"

#include <QList>
#include <QMap>
#include <QString>

// A named quality: the viewer's quality menu, the settings and the host panel's
// "配信の既定" buttons list these, and the agent streams with the standard one until
// it is told otherwise, so that both ends mark the same preset.
struct QualityPreset {
    QString key;
    QString label;
    QualityRequest quality;
};

// The three presets in display order: "speed", "balanced", "quality".
const QList<QualityPreset> &presetList();
// Preset key → quality.
const QMap<QString, QualityRequest> &presets();
// "balanced" ("標準"): a viewer's choice until its user picks another, and the agent's
// until the host user does.
QualityRequest standardQuality();
