#include "agent/model/ControlStatus.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

// The agent's status answer and every event carry the whole state. Any bytes
// decode to a status or to nothing; what decodes, written out again in camel
// case, decodes to the same status (no field is read from the wrong key or
// loses precision); each list element the strict records accept survives the
// same round trip on its own.
namespace {

QJsonObject toJson(const ControlMonitor &m) {
    return {{"id", m.id}, {"name", m.name}, {"w", m.w}, {"h", m.h}, {"primary", m.primary}};
}

QJsonObject toJson(const ControlAsk &a) {
    return {{"sid", a.sid}, {"name", a.name}, {"ip", a.ip}, {"at", a.at}};
}

QJsonObject toJson(const ControlEula &e) {
    return {{"version", e.version}, {"hash", e.hash}, {"body", e.body}};
}

QJsonObject toJson(const ControlController &c) {
    return {{"label", c.label}, {"pub", c.pub}, {"added", c.added}};
}

QJsonObject toJson(const ControlSession &s) {
    QJsonObject o{{"sid", s.sid},     {"viewer", s.viewer}, {"name", s.name},     {"icon", s.icon},
                  {"ip", s.ip},       {"since", s.since},   {"authed", s.authed}, {"relay", s.relay},
                  {"input", s.input}, {"clip", s.clip},     {"files", s.files}};
    if (s.info)
        o.insert("info", QJsonObject{{"app", s.info->app},
                                     {"os", s.info->os},
                                     {"browser", s.info->browser},
                                     {"screen", s.info->screen},
                                     {"ver", s.info->ver}});
    return o;
}

template <class T> QJsonArray toArray(const QList<T> &list) {
    QJsonArray a;
    for (const T &item : list)
        a.append(toJson(item));
    return a;
}

QJsonObject toJson(const ControlStatus &s) {
    QJsonObject o{{"id", s.id},
                  {"name", s.name},
                  {"platform", s.platform},
                  {"version", s.version},
                  {"server", s.server},
                  {"connected", s.connected},
                  {"sharing", s.sharing},
                  {"autoPasscode", s.autoPasscode},
                  {"passcodeMode", s.passcodeMode},
                  {"hasFixed", s.hasFixed},
                  {"fps", s.fps},
                  {"scale", s.scale},
                  {"kbps", s.kbps},
                  {"video", s.video},
                  {"encoder", s.encoder},
                  {"audioOn", s.audioOn},
                  {"audioSource", s.audioSource},
                  {"monitors", toArray(s.monitors)},
                  {"sessions", toArray(s.sessions)},
                  {"noticeBar", s.noticeBar},
                  {"controllers", toArray(s.controllers)},
                  {"allowAsk", s.allowAsk},
                  {"asks", toArray(s.asks)},
                  {"inputPerm", s.inputPerm},
                  {"screenPerm", s.screenPerm}};
    if (s.eulaRequired)
        o.insert("eulaRequired", toJson(*s.eulaRequired));
    return o;
}

template <class T> void roundTrip(const QJsonValue &value) {
    if (const std::optional<T> r = T::fromJson(value)) {
        if (T::fromJson(toJson(*r)) != r)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const std::optional<ControlStatus> s = ControlStatus::decode(bytes)) {
        if (ControlStatus::decode(QJsonDocument(toJson(*s)).toJson(QJsonDocument::Compact)) != s)
            __builtin_trap();
        // The texts the views build from records must not trip either.
        for (const ControlController &c : s->controllers)
            c.summary();
        for (const ControlSession &session : s->sessions)
            session.detail();
    }
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    QJsonArray values = doc.array();
    if (doc.isObject())
        values.append(doc.object());
    for (const QJsonValue &v : values) {
        roundTrip<ControlMonitor>(v);
        roundTrip<ControlAsk>(v);
        roundTrip<ControlEula>(v);
        roundTrip<ControlController>(v);
        roundTrip<ControlSession>(v);
    }
    return 0;
}
