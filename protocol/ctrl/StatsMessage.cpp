#include "protocol/ctrl/StatsMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

#include <QStringList>

namespace {
const QStringList ownKeys{QStringLiteral("t"),   QStringLiteral("codec"), QStringLiteral("enc"),
                          QStringLiteral("fps"), QStringLiteral("kbps"),  QStringLiteral("relay")};
} // namespace

QJsonObject StatsMessage::toJson() const {
    QJsonObject o = link;
    for (const QString &key : ownKeys)
        o.remove(key);
    const QJsonObject own =
        CtrlMessage::tagged(tag, {{"codec", codec}, {"enc", encoder}, {"fps", fps}, {"kbps", kbps}, {"relay", relay}});
    for (auto it = own.begin(); it != own.end(); ++it)
        o.insert(it.key(), it.value());
    return o;
}

StatsMessage StatsMessage::fromJson(const QJsonObject &message) {
    StatsMessage s;
    s.codec = message.value(QLatin1StringView("codec")).toString();
    s.encoder = message.value(QLatin1StringView("enc")).toString();
    s.fps = Json::int32(message.value(QLatin1StringView("fps"))).value_or(0);
    s.kbps = Json::integral(message.value(QLatin1StringView("kbps")), 0, Json::maxExact).value_or(0);
    s.relay = message.value(QLatin1StringView("relay")).toBool(false);
    s.link = message;
    for (const QString &key : ownKeys)
        s.link.remove(key);
    return s;
}
