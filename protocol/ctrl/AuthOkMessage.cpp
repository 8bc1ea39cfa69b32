#include "protocol/ctrl/AuthOkMessage.h"

#include "protocol/ctrl/CtrlMessage.h"

QJsonObject AuthOkMessage::toJson() const {
    QJsonObject o = CtrlMessage::tagged(
        tag,
        {{"monitors", monitors}, {"video", video}, {"audio", audio ? QStringLiteral("opus") : QStringLiteral("none")}});
    if (name)
        o.insert(QLatin1StringView("name"), *name);
    if (windows)
        o.insert(QLatin1StringView("windows"), true);
    return o;
}

AuthOkMessage AuthOkMessage::fromJson(const QJsonObject &message) {
    AuthOkMessage m;
    m.monitors = message.value(QLatin1StringView("monitors")).toArray();
    if (const QJsonValue video = message.value(QLatin1StringView("video")); video.isString())
        m.video = video.toString();
    const QJsonValue audio = message.value(QLatin1StringView("audio"));
    m.audio = audio.isString() && audio.toString() == QLatin1StringView("opus");
    if (const QJsonValue name = message.value(QLatin1StringView("name")); name.isString())
        m.name = name.toString();
    m.windows = message.value(QLatin1StringView("windows")).toBool(false);
    return m;
}
