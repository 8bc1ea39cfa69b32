#include "control/TestHooks.h"

#include "HttpServer.h"
#include "control/ControlApi.h"
#include "control/HostState.h"
#include "posix/SignalPipe.h"
#include "protocol/Json.h"
#include "protocol/agent/ControlSessionLink.h"

#include <QDateTime>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSignalBlocker>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHooks, "velmo.host.api")

namespace {

constexpr int maxSeen = 1000;

void plain(HttpResponder *r, int status, const QString &text) {
    r->respond(status, text.toUtf8(), "text/plain; charset=utf-8");
}

void ok(HttpResponder *r, const QJsonObject &o = {}) {
    r->respondJson(200, Json::compact(o));
}

} // namespace

TestHooks::TestHooks(HostState *state, ControlApi *api) : m_state(state), m_api(api) {}

void TestHooks::record(const QByteArray &method, const QString &path, const QByteArray &body) {
    if (m_seen.size() >= maxSeen)
        m_seen.removeFirst();
    m_seen.append({method, path, body.left(4096)});
}

bool TestHooks::answerCanned(const QString &path, HttpResponder *r) {
    for (qsizetype i = 0; i < m_canned.size(); ++i) {
        Canned &c = m_canned[i];
        if (!c.path.isEmpty() && c.path != path)
            continue;
        const Canned use = c;
        if (--c.count <= 0)
            m_canned.removeAt(i);
        if (use.stall)
            m_stalled.append(r);
        else
            r->respond(use.status, use.body, "text/plain; charset=utf-8");
        return true;
    }
    return false;
}

void TestHooks::abortStalled() {
    for (const QPointer<HttpResponder> &s : std::as_const(m_stalled))
        if (s)
            s->abort();
    m_stalled.clear();
}

void TestHooks::handle(const QString &path, const HttpRequest &req, const QJsonObject &body, HttpResponder *r) {
    auto sidOr = [&](const QString &key) {
        const QString s = body.value(key).toString();
        return s.isEmpty() ? QUuid::createUuid().toString(QUuid::Id128).left(8) : s;
    };
    if (path == QLatin1String("requests") && req.method == "GET") {
        QJsonArray list;
        for (const Seen &s : std::as_const(m_seen))
            list.append(QJsonObject{
                {"method", QString::fromLatin1(s.method)}, {"path", s.path}, {"body", QString::fromUtf8(s.body)}});
        return ok(r, {{"requests", list}});
    }
    if (req.method != "POST")
        return plain(r, 405, QStringLiteral("POST で呼んでください"));
    if (path == QLatin1String("ask")) {
        HostState::Ask a{sidOr("sid"),
                         body.value("name").toString(),
                         body.value("ip").toString(),
                         body.value("at").toInteger(QDateTime::currentSecsSinceEpoch()),
                         body.value("viewer").toString(),
                         body.value("fingerprint").toString(),
                         body.value("expires").toInteger(0)};
        // "withdraw": another request leaves in the same status change.
        if (body.value("withdraw").isString()) {
            const QSignalBlocker quiet(m_state);
            m_state->removeAsk(body.value("withdraw").toString());
        }
        m_state->addAsk(a);
        return ok(r, {{"sid", a.sid}});
    }
    if (path == QLatin1String("ask/remove")) {
        m_state->removeAsk(body.value("sid").toString());
        return ok(r);
    }
    if (path == QLatin1String("session")) {
        HostState::Session s;
        s.sid = sidOr("sid");
        s.viewer = body.value("viewer").toString();
        s.fingerprint = body.value("fingerprint").toString();
        s.name = body.value("name").toString();
        if (body.value("info").isObject()) {
            const QJsonObject i = body.value("info").toObject();
            s.info = HostState::ViewerInfo{i.value("app").toString(), i.value("os").toString(),
                                           i.value("browser").toString(), i.value("screen").toString(),
                                           i.value("ver").toString()};
        }
        s.icon = body.value("icon").toString();
        s.ip = body.value("ip").toString();
        s.since = body.value("since").toInteger(QDateTime::currentSecsSinceEpoch());
        s.authed = body.value("authed").toBool(false);
        s.relay = body.value("relay").toBool(false);
        s.input = body.value("input").toBool(true);
        s.clip = body.value("clip").toBool(true);
        s.files = body.value("files").toBool(true);
        s.recording = body.value("recording").toBool(false);
        s.mic = body.value("mic").toBool(false);
        s.micSource = body.value("micSource").toString();
        s.link = ControlSessionLink::fromJson(body.value("link"));
        for (const QJsonValue &t : body.value("transfers").toArray())
            if (const auto transfer = ControlTransfer::fromJson(t))
                s.transfers.append(*transfer);
        m_state->addSession(s);
        return ok(r, {{"sid", s.sid}});
    }
    if (path == QLatin1String("session/remove")) {
        m_state->removeSession(body.value("sid").toString());
        return ok(r);
    }
    if (path == QLatin1String("device")) {
        if (body.contains("id"))
            m_state->setDeviceId(body.value("id").toString());
        if (body.contains("connected"))
            m_state->setConnected(body.value("connected").toBool());
        return ok(r);
    }
    if (path == QLatin1String("eula")) {
        if (body.value("version").isString())
            m_state->setEulaRequired(HostState::Eula{body.value("version").toString(), body.value("hash").toString(),
                                                     body.value("body").toString()});
        else
            m_state->setEulaRequired(std::nullopt);
        return ok(r);
    }
    if (path == QLatin1String("perm")) {
        if (body.value("input").isString())
            m_state->setInputPerm(body.value("input").toString());
        if (body.value("screen").isString())
            m_state->setScreenPerm(body.value("screen").toString());
        if (body.value("grantScreen").isBool())
            m_grantScreen = body.value("grantScreen").toBool();
        if (body.value("grantInput").isBool())
            m_grantInput = body.value("grantInput").toBool();
        return ok(r);
    }
    if (path == QLatin1String("respond") || path == QLatin1String("stall")) {
        Canned c;
        c.path = body.value("path").toString();
        while (c.path.startsWith(u'/'))
            c.path.remove(0, 1);
        c.status = int(body.value("status").toInteger(500));
        c.body = body.value("body").toString().toUtf8();
        c.count = qMax(1, int(body.value("count").toInteger(1)));
        c.stall = path == QLatin1String("stall");
        m_canned.append(c);
        return ok(r);
    }
    if (path == QLatin1String("exit")) {
        const int code = int(body.value("code").toInteger(1));
        if (!body.value("keepControlJson").toBool(true))
            m_api->removeControlJson();
        ::_exit(code);
    }
    if (path == QLatin1String("restart")) {
        ok(r);
        // After the answer has left on the old listener.
        QTimer::singleShot(50, m_api, [api = m_api] {
            if (!api->restart())
                qCWarning(lcHooks) << "restart failed";
            else
                qCInfo(lcHooks).noquote() << "listening on 127.0.0.1:" + QString::number(api->port());
        });
        return;
    }
    if (path == QLatin1String("ignore-sigterm")) {
        SignalPipe::setIgnored(SIGTERM, body.value("on").toBool(true));
        return ok(r);
    }
    plain(r, 404, QStringLiteral("そのような操作はありません"));
}
