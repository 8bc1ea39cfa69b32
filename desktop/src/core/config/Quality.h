#pragma once

#include "protocol/ctrl/QualityRequest.h"

#include <QList>
#include <QMap>
#include <QString>

// A quality the viewer asks the host for: the record of the "quality" message.
using Quality = QualityRequest;

struct QualityPreset {
    QString key;
    QString label;
    Quality quality;
};

// The three presets in display order: "speed", "balanced", "quality". The viewer's
// quality menu, the host panel's quality buttons and the settings all list these.
const QList<QualityPreset> &presetList();
// Preset key → quality.
const QMap<QString, Quality> &presets();
