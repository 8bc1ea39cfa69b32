#include "protocol/agent/ControlStatus.h"

#include "protocol/agent/ControlJson.h"

#include <QJsonArray>
#include <QJsonDocument>

std::optional<ControlStatus> ControlStatus::decode(const QByteArray &json) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return fromObject(doc.object());
}

ControlStatus ControlStatus::fromObject(const QJsonObject &object) {
    using namespace ControlJson;
    const QJsonObject o = camelized(object);
    ControlStatus r;
    r.id = string(o, QStringLiteral("id")).value_or(r.id);
    r.name = string(o, QStringLiteral("name")).value_or(r.name);
    r.platform = string(o, QStringLiteral("platform")).value_or(r.platform);
    r.version = string(o, QStringLiteral("version")).value_or(r.version);
    r.server = string(o, QStringLiteral("server")).value_or(r.server);
    r.connected = boolean(o, QStringLiteral("connected")).value_or(r.connected);
    r.sharing = boolean(o, QStringLiteral("sharing")).value_or(r.sharing);
    r.autoPasscode = string(o, QStringLiteral("autoPasscode")).value_or(r.autoPasscode);
    r.passcodeMode = string(o, QStringLiteral("passcodeMode")).value_or(r.passcodeMode);
    r.hasFixed = boolean(o, QStringLiteral("hasFixed")).value_or(r.hasFixed);
    r.fps = int32(o, QStringLiteral("fps")).value_or(r.fps);
    r.scale = number(o, QStringLiteral("scale")).value_or(r.scale);
    r.kbps = int32(o, QStringLiteral("kbps")).value_or(r.kbps);
    r.video = string(o, QStringLiteral("video")).value_or(r.video);
    r.encoder = string(o, QStringLiteral("encoder")).value_or(r.encoder);
    r.audioOn = boolean(o, QStringLiteral("audioOn")).value_or(r.audioOn);
    r.audioSource = string(o, QStringLiteral("audioSource")).value_or(r.audioSource);
    r.monitors = list<ControlMonitor>(o, QStringLiteral("monitors"), ControlMonitor::fromJson).value_or(r.monitors);
    r.sessions = list<ControlSession>(o, QStringLiteral("sessions"), ControlSession::fromJson).value_or(r.sessions);
    r.noticeBar = boolean(o, QStringLiteral("noticeBar")).value_or(r.noticeBar);
    r.controllers =
        list<ControlController>(o, QStringLiteral("controllers"), ControlController::fromJson).value_or(r.controllers);
    r.eulaRequired = ControlEula::fromJson(o.value(QStringLiteral("eulaRequired")));
    r.allowAsk = boolean(o, QStringLiteral("allowAsk")).value_or(r.allowAsk);
    r.asks = list<ControlAsk>(o, QStringLiteral("asks"), ControlAsk::fromJson).value_or(r.asks);
    r.inputPerm = string(o, QStringLiteral("inputPerm")).value_or(r.inputPerm);
    r.screenPerm = string(o, QStringLiteral("screenPerm")).value_or(r.screenPerm);
    r.approval = string(o, QStringLiteral("approval")).value_or(r.approval);
    r.displayServer = string(o, QStringLiteral("displayServer")).value_or(r.displayServer);
    r.backend = string(o, QStringLiteral("backend")).value_or(r.backend);
    r.unattended = boolean(o, QStringLiteral("unattended")).value_or(r.unattended);
    r.screenError = string(o, QStringLiteral("screenError")).value_or(r.screenError);
    r.audioError = string(o, QStringLiteral("audioError")).value_or(r.audioError);
    r.audioDevice = string(o, QStringLiteral("audioDevice")).value_or(r.audioDevice);
    r.problem = string(o, QStringLiteral("problem")).value_or(r.problem);
    return r;
}

QJsonObject ControlStatus::toJson() const {
    QJsonArray monitorList;
    for (const ControlMonitor &m : monitors)
        monitorList.append(m.toJson());
    QJsonArray sessionList;
    for (const ControlSession &s : sessions)
        sessionList.append(s.toJson());
    QJsonArray askList;
    for (const ControlAsk &a : asks)
        askList.append(a.toJson());
    QJsonArray controllerList;
    for (const ControlController &c : controllers)
        controllerList.append(c.toJson());
    return QJsonObject{
        {"id", id},
        {"name", name},
        {"platform", platform},
        {"version", version},
        {"server", server},
        {"connected", connected},
        {"problem", problem},
        {"sharing", sharing},
        {"autoPasscode", autoPasscode},
        {"passcodeMode", passcodeMode},
        {"hasFixed", hasFixed},
        {"fps", fps},
        {"scale", scale},
        {"kbps", kbps},
        {"video", video},
        {"encoder", encoder},
        {"audioOn", audioOn},
        {"audioSource", audioSource},
        {"monitors", monitorList},
        {"sessions", sessionList},
        {"noticeBar", noticeBar},
        {"controllers", controllerList},
        {"allowAsk", allowAsk},
        {"approval", approval},
        {"audioDevice", audioDevice},
        {"audioError", audioError},
        {"displayServer", displayServer},
        {"backend", backend},
        {"unattended", unattended},
        {"screenError", screenError},
        {"asks", askList},
        {"inputPerm", inputPerm},
        {"screenPerm", screenPerm},
        {"eulaRequired", eulaRequired ? QJsonValue(eulaRequired->toJson()) : QJsonValue(QJsonValue::Null)}};
}
