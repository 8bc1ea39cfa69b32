#include "protocol/agent/ControlSessionLink.h"

#include "protocol/agent/ControlJson.h"
#include "protocol/ctrl/StatsMessage.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {
std::optional<qint64> wholeKbps(const QJsonObject &link, const char *key) {
    const QJsonValue v = link.value(QLatin1StringView(key));
    if (!v.isDouble() || !std::isfinite(v.toDouble()) || v.toDouble() < 0)
        return std::nullopt;
    return qint64(std::llround(std::min(v.toDouble(), 1e9)));
}
} // namespace

ControlSessionLink ControlSessionLink::fromStats(const StatsMessage &stats) {
    ControlSessionLink r;
    r.codec = stats.codec;
    r.fps = stats.fps;
    r.kbps = stats.kbps;
    r.targetKbps = wholeKbps(stats.link, "target");
    r.estimateKbps = wholeKbps(stats.link, "est");
    const QJsonValue loss = stats.link.value(QStringLiteral("loss"));
    if (loss.isDouble() && std::isfinite(loss.toDouble()))
        r.lossPercent = std::clamp(loss.toDouble(), 0.0, 100.0);
    const QJsonValue rtt = stats.link.value(QStringLiteral("rtt"));
    if (rtt.isDouble() && std::isfinite(rtt.toDouble()) && rtt.toDouble() > 0)
        r.rttMs = int(std::min(rtt.toDouble(), 600000.0));
    r.limit = stats.link.value(QStringLiteral("limit")).toString();
    return r;
}

QJsonObject ControlSessionLink::toJson() const {
    QJsonObject o{{"codec", codec}, {"fps", fps}, {"kbps", kbps}};
    if (targetKbps)
        o.insert(QStringLiteral("target"), *targetKbps);
    if (estimateKbps)
        o.insert(QStringLiteral("est"), *estimateKbps);
    if (lossPercent)
        o.insert(QStringLiteral("loss"), *lossPercent);
    if (rttMs)
        o.insert(QStringLiteral("rtt"), *rttMs);
    if (!limit.isEmpty())
        o.insert(QStringLiteral("limit"), limit);
    return o;
}

std::optional<ControlSessionLink> ControlSessionLink::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    using namespace ControlJson;
    ControlSessionLink r;
    r.codec = string(o, QStringLiteral("codec")).value_or(QString());
    r.fps = int32(o, QStringLiteral("fps")).value_or(0);
    r.kbps = int64(o, QStringLiteral("kbps")).value_or(0);
    r.targetKbps = int64(o, QStringLiteral("target"));
    r.estimateKbps = int64(o, QStringLiteral("est"));
    r.lossPercent = number(o, QStringLiteral("loss"));
    r.rttMs = int32(o, QStringLiteral("rtt"));
    r.limit = string(o, QStringLiteral("limit")).value_or(QString());
    return r;
}

QString ControlSessionLink::line() const {
    QStringList parts;
    if (codec == u"h264")
        parts << QStringLiteral("H.264");
    else if (codec == u"jpeg")
        parts << QStringLiteral("JPEG");
    parts << QStringLiteral("%1 fps").arg(fps);
    QString rate = QStringLiteral("%1 kbps").arg(kbps);
    QStringList aims;
    if (targetKbps)
        aims << QStringLiteral("目標 %1").arg(*targetKbps);
    if (estimateKbps)
        aims << QStringLiteral("推定 %1").arg(*estimateKbps);
    if (!aims.isEmpty())
        rate += QStringLiteral("(") + aims.join(QStringLiteral("・")) + QStringLiteral(" kbps)");
    parts << rate;
    if (lossPercent)
        parts << QStringLiteral("損失 %1%").arg(*lossPercent, 0, 'f', 1);
    if (rttMs)
        parts << QStringLiteral("往復 %1 ms").arg(*rttMs);
    if (!limit.isEmpty())
        parts << limit + QStringLiteral("で制限");
    return parts.join(QStringLiteral("  "));
}
