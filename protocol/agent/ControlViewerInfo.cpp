#include "protocol/agent/ControlViewerInfo.h"

#include "protocol/agent/ControlJson.h"

#include <QStringList>

std::optional<ControlViewerInfo> ControlViewerInfo::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    ControlViewerInfo r;
    r.app = ControlJson::string(o, QStringLiteral("app")).value_or(QString());
    r.os = ControlJson::string(o, QStringLiteral("os")).value_or(QString());
    r.browser = ControlJson::string(o, QStringLiteral("browser")).value_or(QString());
    r.screen = ControlJson::string(o, QStringLiteral("screen")).value_or(QString());
    r.ver = ControlJson::string(o, QStringLiteral("ver")).value_or(QString());
    return r;
}

QString ControlViewerInfo::line() const {
    QStringList parts;
    for (const QString *s : {&app, &os, &browser, &screen})
        if (!s->isEmpty())
            parts << *s;
    if (!ver.isEmpty())
        parts << QStringLiteral("v") + ver;
    return parts.join(QStringLiteral(" \u00B7 "));
}

QJsonObject ControlViewerInfo::toJson() const {
    return QJsonObject{{"app", app}, {"os", os}, {"browser", browser}, {"screen", screen}, {"ver", ver}};
}
