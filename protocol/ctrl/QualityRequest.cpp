#include "protocol/ctrl/QualityRequest.h"

#include "protocol/ctrl/CtrlMessage.h"

#include <algorithm>
#include <cmath>

namespace {
// A whole number as the viewer sent it (truncated towards zero); anything absurd keeps `current`.
int intOr(const QJsonObject &message, const char *key, int current) {
    const QJsonValue v = message.value(QLatin1StringView(key));
    return v.isDouble() && std::isfinite(v.toDouble()) && std::abs(v.toDouble()) < 1e9 ? int(v.toDouble()) : current;
}
} // namespace

QualityRequest QualityRequest::clamped() const {
    QualityRequest out;
    out.fps = std::clamp(fps, minFps, maxFps);
    out.scale = std::isfinite(scale) ? std::clamp(scale, minScale, maxScale) : maxScale;
    out.q = std::clamp(q, minQ, maxQ);
    out.kbps = std::clamp(kbps, minKbps, maxKbps);
    return out;
}

QJsonObject QualityRequest::dict() const {
    return QJsonObject{{"fps", fps}, {"scale", scale}, {"q", q}, {"kbps", kbps}};
}

QJsonObject QualityRequest::toJson() const {
    return CtrlMessage::tagged(tag, dict());
}

QualityRequest QualityRequest::fromJson(const QJsonObject &message, const QualityRequest &current) {
    QualityRequest out = current;
    out.fps = intOr(message, "fps", current.fps);
    out.q = intOr(message, "q", current.q);
    out.kbps = intOr(message, "kbps", current.kbps);
    if (const QJsonValue scale = message.value(QLatin1StringView("scale")); scale.isDouble())
        out.scale = scale.toDouble();
    return out.clamped();
}
