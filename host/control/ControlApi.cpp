#include "control/ControlApi.h"

#include "HttpServer.h"
#include "control/DataDir.h"
#include "control/HostState.h"
#include "control/TestHooks.h"
#include "protocol/Json.h"
#include "protocol/ctrl/QualityRequest.h"
#include "transfer/SendableFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTcpSocket>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcApi, "velmo.host.api")

namespace {

constexpr int maxStreams = 64;

QString newToken() {
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    return QString::fromLatin1(bytes.toHex());
}

QByteArray errorBody(const QString &text) {
    return text.toUtf8();
}

void plain(HttpResponder *r, int status, const QString &text) {
    r->respond(status, errorBody(text), "text/plain; charset=utf-8");
}

void ok(HttpResponder *r, const QJsonObject &o = {}) {
    r->respondJson(200, Json::compact(o));
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// Reads typed fields of a command body; the first problem becomes a 400 text.
class Fields {
public:
    explicit Fields(const QJsonObject &o) : m_o(o) {}
    QString str(const char *key) {
        const QJsonValue v = m_o.value(QLatin1String(key));
        if (!v.isString())
            fail(key);
        return v.toString();
    }
    bool boolean(const char *key) {
        const QJsonValue v = m_o.value(QLatin1String(key));
        if (!v.isBool())
            fail(key);
        return v.toBool();
    }
    double number(const char *key) {
        const QJsonValue v = m_o.value(QLatin1String(key));
        if (!v.isDouble())
            fail(key);
        return v.toDouble();
    }
    QString error() const { return m_error; }
    bool ok() const { return m_error.isEmpty(); }

private:
    void fail(const char *key) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("\"%1\" がありません").arg(QLatin1String(key));
    }
    QJsonObject m_o;
    QString m_error;
};

// The answer to a command; each way of giving it returns true, the command being handled.
struct Answer {
    HttpResponder *r;
    bool done(const QJsonObject &o = {}) const {
        ok(r, o);
        return true;
    }
    bool refuse(int status, const QString &text) const {
        plain(r, status, text);
        return true;
    }
    bool bad(const Fields &f) const { return refuse(400, f.error()); }
};

const QStringList &commandPaths() {
    static const QStringList paths{
        "quality",     "audio",      "approval",   "asks/answer",       "controller/add",   "controller/remove",
        "eula/accept", "sharing",    "notice-bar", "passcode/rotate",   "passcode/fixed",   "passcode/mode",
        "name",        "disconnect", "perm",       "screen-permission", "input-permission", "quit",
        "files/send",  "unattended"};
    return paths;
}

} // namespace

ControlApi::ControlApi(HostState *state, const QString &dataDir, bool testHooks, QObject *parent)
    : QObject(parent), m_state(state), m_dataDir(dataDir),
      m_hooks(testHooks ? std::make_unique<TestHooks>(state, this) : nullptr) {
    m_broadcastTimer.setSingleShot(true);
    m_broadcastTimer.setInterval(0);
    connect(&m_broadcastTimer, &QTimer::timeout, this, &ControlApi::broadcast);
    // A comment line now and then keeps idle streams under the client's inactivity limit.
    m_pingTimer.setInterval(30'000);
    connect(&m_pingTimer, &QTimer::timeout, this, &ControlApi::sendPing);
    connect(state, &HostState::changed, this, &ControlApi::scheduleBroadcast);
}

ControlApi::~ControlApi() = default;

quint16 ControlApi::port() const {
    return m_server ? m_server->port() : 0;
}

QString ControlApi::controlJsonPath() const {
    return m_dataDir + QStringLiteral("/control.json");
}

bool ControlApi::start() {
    auto server = std::make_unique<HttpServer>();
    server->setMaxBodyBytes(1024 * 1024);
    // Every local user can reach this port: a request must come whole within the
    // client's own time-out, and idle connections cannot pile up. All clients share
    // 127.0.0.1, so the one cap is the total; at the cap the oldest unfinished request
    // makes room, which keeps a real client (whose request comes at once) served.
    HttpServer::Limits limits;
    limits.requestTimeoutMs = 10'000;
    limits.maxConnections = maxConnections;
    limits.maxConnectionsPerAddress = 0;
    server->setLimits(limits);
    if (!server->listen(QHostAddress::LocalHost, 0))
        return false;
    server->setHandler([this](const HttpRequest &req, HttpResponder *r) { handle(req, r); });
    m_server = std::move(server);
    m_token = newToken();
    m_pingTimer.start();
    return writeControlJson();
}

bool ControlApi::restart() {
    for (const QPointer<HttpResponder> &s : std::as_const(m_streams))
        if (s)
            s->abort();
    m_streams.clear();
    if (m_hooks)
        m_hooks->abortStalled();
    std::unique_ptr<HttpServer> old = std::move(m_server);
    const bool started = start();
    if (old)
        old->close();
    return started;
}

bool ControlApi::writeControlJson() {
    const QJsonObject o{
        {"port", m_server->port()}, {"token", m_token}, {"pid", qint64(QCoreApplication::applicationPid())}};
    DataDir::Done written = DataDir::ensure(m_dataDir);
    if (written.ok())
        written = DataDir::writePrivate(controlJsonPath(), Json::compact(o));
    if (!written.ok())
        qCWarning(lcApi).noquote() << written.error.message;
    return written.ok();
}

void ControlApi::removeControlJson() {
    QFile f(controlJsonPath());
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QJsonObject o = QJsonDocument::fromJson(f.read(64 * 1024)).object();
    f.close();
    // A newer agent may have taken over the file: leave it alone then.
    if (o.value("pid").toInteger() == QCoreApplication::applicationPid() && o.value("token").toString() == m_token)
        QFile::remove(controlJsonPath());
}

QByteArray ControlApi::statusJson() const {
    return Json::compact(m_state->toStatusJson());
}

void ControlApi::scheduleBroadcast() {
    if (!m_broadcastTimer.isActive())
        m_broadcastTimer.start();
}

void ControlApi::broadcast() {
    const QByteArray event = "data: " + statusJson() + "\n\n";
    m_streams.removeIf([](const QPointer<HttpResponder> &s) { return !s || !s->isOpen(); });
    for (const QPointer<HttpResponder> &s : std::as_const(m_streams))
        s->write(event);
}

void ControlApi::sendPing() {
    m_streams.removeIf([](const QPointer<HttpResponder> &s) { return !s || !s->isOpen(); });
    for (const QPointer<HttpResponder> &s : std::as_const(m_streams))
        s->write(": ping\n\n");
}

void ControlApi::handle(const HttpRequest &req, HttpResponder *r) {
    const QByteArray auth = req.header("authorization");
    if (!auth.startsWith("Bearer ") || !constantTimeEquals(auth.mid(7).trimmed(), m_token.toUtf8())) {
        plain(r, 401, QStringLiteral("認証されていません"));
        return;
    }
    QString path = req.path;
    while (path.startsWith(u'/'))
        path.remove(0, 1);
    while (path.endsWith(u'/'))
        path.chop(1);

    QJsonObject body;
    if (req.method == "POST") {
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(req.body.isEmpty() ? QByteArray("{}") : req.body, &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject()) {
            plain(r, 400, QStringLiteral("本文が JSON オブジェクトではありません"));
            return;
        }
        body = doc.object();
    }

    if (m_hooks) {
        if (path.startsWith(QLatin1String("test/"))) {
            m_hooks->handle(path.mid(5), req, body, r);
            return;
        }
        m_hooks->record(req.method, path, req.body);
        if (m_hooks->answerCanned(path, r))
            return;
    }

    if (req.method == "GET" && path == QLatin1String("status")) {
        r->respondJson(200, statusJson());
        return;
    }
    if (req.method == "GET" && path == QLatin1String("events")) {
        m_streams.removeIf([](const QPointer<HttpResponder> &s) { return !s || !s->isOpen(); });
        if (m_streams.size() >= maxStreams) {
            plain(r, 429, QStringLiteral("イベントの購読が多すぎます"));
            return;
        }
        r->beginStream(200, "text/event-stream");
        r->write("data: " + statusJson() + "\n\n");
        m_streams.append(r);
        return;
    }
    const bool streamPath = path == QLatin1String("status") || path == QLatin1String("events");
    if (req.method != "POST" || streamPath) {
        if (streamPath || commandPaths().contains(path))
            plain(r, 405, QStringLiteral("このメソッドは使えません"));
        else
            plain(r, 404, QStringLiteral("そのような操作はありません"));
        return;
    }
    handleCommand(path, body, r);
}

void ControlApi::handleCommand(const QString &path, const QJsonObject &body, HttpResponder *r) {
    if (settingCommand(path, body, r) || accessCommand(path, body, r) || sessionCommand(path, body, r) ||
        agentCommand(path, r))
        return;
    plain(r, 404, QStringLiteral("そのような操作はありません"));
}

// The device's own settings: picture, sound, sharing, name, the notice bar, permissions.
// True when `path` is one of them; the answer has been given then.
bool ControlApi::settingCommand(const QString &path, const QJsonObject &body, HttpResponder *r) {
    Fields f(body);
    const Answer answer{r};
    if (path == QLatin1String("quality")) {
        const double fps = f.number("fps"), scale = f.number("scale"), kbps = f.number("kbps");
        if (!f.ok())
            return answer.bad(f);
        // The limits of the viewer's quality request: what a session could not use is refused.
        const bool inRange = fps >= QualityRequest::minFps && fps <= QualityRequest::maxFps &&
                             scale >= QualityRequest::minScale && scale <= QualityRequest::maxScale &&
                             kbps >= QualityRequest::minKbps && kbps <= QualityRequest::maxKbps;
        if (!inRange)
            return answer.refuse(400, QStringLiteral("画質の値が範囲外です"));
        m_state->setQuality(int(fps), scale, int(kbps));
        return answer.done();
    }
    if (path == QLatin1String("audio")) {
        const bool on = f.boolean("on");
        const QString source = f.str("source");
        if (!f.ok())
            return answer.bad(f);
        if (source != QLatin1String("system") && source != QLatin1String("mic"))
            return answer.refuse(400, QStringLiteral("音源は system か mic です"));
        m_state->setAudio(on, source);
        return answer.done();
    }
    if (path == QLatin1String("sharing")) {
        const bool on = f.boolean("on");
        if (!f.ok())
            return answer.bad(f);
        m_state->setSharing(on);
        return answer.done();
    }
    if (path == QLatin1String("notice-bar")) {
        const bool on = f.boolean("on");
        if (!f.ok())
            return answer.bad(f);
        m_state->setNoticeBar(on);
        return answer.done();
    }
    if (path == QLatin1String("unattended")) {
        const bool on = f.boolean("on");
        if (!f.ok())
            return answer.bad(f);
        m_state->setUnattended(on);
        return answer.done();
    }
    if (path == QLatin1String("name")) {
        const QString name = f.str("name").trimmed();
        if (!f.ok())
            return answer.bad(f);
        if (name.isEmpty() || name.size() > 128)
            return answer.refuse(400, QStringLiteral("名前は 1〜128 文字にしてください"));
        m_state->setName(name);
        return answer.done();
    }
    if (path == QLatin1String("screen-permission")) {
        const bool grant = !m_hooks || m_hooks->grantScreen();
        if (grant && m_state->screenPerm() == QLatin1String("denied"))
            m_state->setScreenPerm(QStringLiteral("granted"));
        return answer.done({{"granted", grant}});
    }
    if (path == QLatin1String("input-permission")) {
        const bool grant = !m_hooks || m_hooks->grantInput();
        if (grant && m_state->inputPerm() == QLatin1String("denied"))
            m_state->setInputPerm(QStringLiteral("granted"));
        return answer.done({{"granted", grant}});
    }
    return false;
}

// Who may come in: passcodes, approval, asks waiting for an answer, known controllers.
// True when `path` is one of them; the answer has been given then.
bool ControlApi::accessCommand(const QString &path, const QJsonObject &body, HttpResponder *r) {
    Fields f(body);
    const Answer answer{r};
    if (path == QLatin1String("approval")) {
        const QString mode = f.str("mode");
        if (!f.ok())
            return answer.bad(f);
        if (!m_state->setApproval(mode))
            return answer.refuse(400, QStringLiteral("承認の方式は passcode か ask です"));
        return answer.done();
    }
    if (path == QLatin1String("asks/answer")) {
        const QString sid = f.str("sid");
        const bool yes = f.boolean("ok");
        if (!f.ok())
            return answer.bad(f);
        if (!m_state->answerAsk(sid, yes))
            return answer.refuse(404, QStringLiteral("その接続要求はもうありません"));
        return answer.done();
    }
    if (path == QLatin1String("controller/add")) {
        const QString label = f.str("label"), pub = f.str("pub");
        if (!f.ok())
            return answer.bad(f);
        if (pub.size() > 1024 || pub.trimmed().isEmpty())
            return answer.refuse(400, QStringLiteral("公開鍵が正しくありません"));
        if (m_state->controllers().size() >= HostState::maxControllers && !m_state->isControllerAllowed(pub.trimmed()))
            return answer.refuse(400,
                                 QStringLiteral("登録できる操作元は %1 件までです").arg(HostState::maxControllers));
        if (!m_state->addController(label.left(256), pub.trimmed()))
            return answer.refuse(400, QStringLiteral("公開鍵が正しくありません"));
        return answer.done();
    }
    if (path == QLatin1String("controller/remove")) {
        const QString pub = f.str("pub");
        if (!f.ok())
            return answer.bad(f);
        if (!m_state->removeController(pub))
            return answer.refuse(404, QStringLiteral("その操作元は登録されていません"));
        return answer.done();
    }
    if (path == QLatin1String("passcode/rotate")) {
        m_state->rotatePasscode();
        return answer.done();
    }
    if (path == QLatin1String("passcode/fixed")) {
        const QString passcode = f.str("passcode");
        if (!f.ok())
            return answer.bad(f);
        if (passcode.size() > 64)
            return answer.refuse(400, QStringLiteral("固定パスコードが長すぎます"));
        m_state->setFixedPasscode(passcode);
        return answer.done();
    }
    if (path == QLatin1String("passcode/mode")) {
        const QString mode = f.str("mode");
        if (!f.ok())
            return answer.bad(f);
        if (!m_state->setPasscodeMode(mode))
            return answer.refuse(400, QStringLiteral("パスコードの方式は auto, fixed, both のどれかです"));
        return answer.done();
    }
    return false;
}

// The viewers connected now: ending a session, its rights, files sent to it.
// True when `path` is one of them; the answer has been given then.
bool ControlApi::sessionCommand(const QString &path, const QJsonObject &body, HttpResponder *r) {
    Fields f(body);
    const Answer answer{r};
    if (path == QLatin1String("disconnect")) {
        const QString sid = f.str("sid");
        if (!f.ok())
            return answer.bad(f);
        if (!m_state->requestDisconnect(sid))
            return answer.refuse(404, QStringLiteral("そのセッションはありません"));
        return answer.done();
    }
    if (path == QLatin1String("perm")) {
        const QString sid = f.str("sid");
        const bool input = f.boolean("input"), clip = f.boolean("clip"), files = f.boolean("files");
        if (!f.ok())
            return answer.bad(f);
        // `mic` came later: a client that does not know it leaves it as it is.
        const QJsonValue mic = body.value(QLatin1String("mic"));
        if (!mic.isUndefined() && !mic.isBool())
            return answer.refuse(400, QStringLiteral("mic は真偽値です"));
        if (!m_state->setPermissions(sid, input, clip, files,
                                     mic.isBool() ? std::optional(mic.toBool()) : std::nullopt))
            return answer.refuse(404, QStringLiteral("そのセッションはありません"));
        return answer.done();
    }
    if (path == QLatin1String("files/send")) {
        const QString sid = f.str("sid");
        const QString file = f.str("path");
        if (!f.ok())
            return answer.bad(f);
        // Checked on the opened file (no link, a regular file, not /proc): the answer says why not.
        QString why;
        const int fd = SendableFile::open(file, &why);
        if (fd < 0)
            return answer.refuse(400, why);
        ::close(fd);
        if (!m_state->requestSendFile(sid, QFileInfo(file).absoluteFilePath()))
            return answer.refuse(404, QStringLiteral("ファイルを受け取れるセッションがありません"));
        return answer.done();
    }
    return false;
}

// The agent itself: the agreement, quitting.
// True when `path` is one of them; the answer has been given then.
bool ControlApi::agentCommand(const QString &path, HttpResponder *r) {
    const Answer answer{r};
    if (path == QLatin1String("eula/accept")) {
        m_state->acceptEula();
        return answer.done();
    }
    if (path == QLatin1String("quit")) {
        answer.done();
        // Let the answer leave before the loop ends.
        QTimer::singleShot(50, this, &ControlApi::quitRequested);
        return true;
    }
    return false;
}
