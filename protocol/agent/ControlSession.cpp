#include "protocol/agent/ControlSession.h"

#include "protocol/agent/ControlJson.h"

#include <QJsonArray>
#include <QStringList>

std::optional<ControlSession> ControlSession::fromJson(const QJsonValue &value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    using namespace ControlJson;
    ControlSession r;
    r.sid = string(o, QStringLiteral("sid")).value_or(QString());
    r.viewer = string(o, QStringLiteral("viewer")).value_or(QString());
    r.name = string(o, QStringLiteral("name")).value_or(QString());
    r.info = ControlViewerInfo::fromJson(o.value(QStringLiteral("info")));
    r.icon = string(o, QStringLiteral("icon")).value_or(QString());
    r.ip = string(o, QStringLiteral("ip")).value_or(QString());
    r.fingerprint = string(o, QStringLiteral("fingerprint")).value_or(QString());
    r.since = int64(o, QStringLiteral("since")).value_or(0);
    r.authed = boolean(o, QStringLiteral("authed")).value_or(false);
    r.relay = boolean(o, QStringLiteral("relay")).value_or(false);
    r.input = boolean(o, QStringLiteral("input")).value_or(true);
    r.clip = boolean(o, QStringLiteral("clip")).value_or(true);
    r.files = boolean(o, QStringLiteral("files")).value_or(true);
    r.mic = boolean(o, QStringLiteral("mic")).value_or(false);
    r.micSource = string(o, QStringLiteral("micSource")).value_or(QString());
    r.recording = boolean(o, QStringLiteral("recording")).value_or(false);
    r.transfers = list<ControlTransfer>(o, QStringLiteral("transfers"), ControlTransfer::fromJson)
                      .value_or(QList<ControlTransfer>());
    r.link = ControlSessionLink::fromJson(o.value(QStringLiteral("link")));
    return r;
}

QString ControlSession::detail() const {
    QStringList parts;
    if (info) {
        const QString l = info->line();
        if (!l.isEmpty())
            parts << l;
    }
    if (!ip.isEmpty())
        parts << QStringLiteral("IP ") + ip;
    if (!viewer.isEmpty())
        parts << QStringLiteral("ID ") + viewer;
    return parts.join(QStringLiteral("  "));
}

QJsonObject ControlSession::toJson() const {
    QJsonObject o{{"sid", sid},     {"viewer", viewer}, {"name", name},     {"icon", icon},
                  {"ip", ip},       {"since", since},   {"authed", authed}, {"relay", relay},
                  {"input", input}, {"clip", clip},     {"files", files},   {"fingerprint", fingerprint}};
    if (info)
        o.insert(QStringLiteral("info"), info->toJson());
    o.insert(QStringLiteral("mic"), mic);
    o.insert(QStringLiteral("micSource"), micSource);
    o.insert(QStringLiteral("recording"), recording);
    QJsonArray list;
    for (const ControlTransfer &t : transfers)
        list.append(t.toJson());
    o.insert(QStringLiteral("transfers"), list);
    if (link)
        o.insert(QStringLiteral("link"), link->toJson());
    return o;
}
