#include "protocol/ctrl/QualityPresets.h"

const QList<QualityPreset> &presetList() {
    static const QList<QualityPreset> list{
        {QStringLiteral("speed"), QStringLiteral("速度優先"), QualityRequest{30, 0.5, 40, 2000}},
        {QStringLiteral("balanced"), QStringLiteral("標準"), QualityRequest{15, 0.75, 60, 4000}},
        {QStringLiteral("quality"), QStringLiteral("画質優先"), QualityRequest{10, 1.0, 85, 8000}},
    };
    return list;
}

const QMap<QString, QualityRequest> &presets() {
    static const QMap<QString, QualityRequest> map = [] {
        QMap<QString, QualityRequest> m;
        for (const auto &p : presetList())
            m.insert(p.key, p.quality);
        return m;
    }();
    return map;
}

QualityRequest standardQuality() {
    return presets().value(QStringLiteral("balanced"));
}
