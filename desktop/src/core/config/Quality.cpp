#include "config/Quality.h"

const QList<QualityPreset> &presetList() {
    static const QList<QualityPreset> list{
        {QStringLiteral("speed"), QStringLiteral("速度優先"), Quality{30, 0.5, 40, 2000}},
        {QStringLiteral("balanced"), QStringLiteral("標準"), Quality{15, 0.75, 60, 4000}},
        {QStringLiteral("quality"), QStringLiteral("画質優先"), Quality{10, 1.0, 85, 8000}},
    };
    return list;
}

const QMap<QString, Quality> &presets() {
    static const QMap<QString, Quality> map = [] {
        QMap<QString, Quality> m;
        for (const auto &p : presetList())
            m.insert(p.key, p.quality);
        return m;
    }();
    return map;
}
