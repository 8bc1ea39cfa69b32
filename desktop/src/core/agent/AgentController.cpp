#include "agent/AgentController.h"

#include "agent/AgentLauncher.h"
#include "agent/AgentProcessInfo.h"
#include "agent/ControlEndpoint.h"
#include "agent/ResidentAgent.h"
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "util/ErrorText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {

// Runs `done` only while `context` (when one was given) is alive.
AgentController::Done guarded(QObject *context, AgentController::Done done) {
    if (!done)
        return [] {};
    if (!context)
        return done;
    QPointer<QObject> ctx(context);
    return [ctx, done = std::move(done)] {
        if (ctx)
            done();
    };
}

bool isRunning(const QProcess *p) {
    return p && p->state() != QProcess::NotRunning;
}

QString portText(qint64 port) {
    return QString::number(port);
}

QString residentMessage(qint64 port) {
    return QStringLiteral("常駐版のエージェントに接続(127.0.0.1:") + portText(port) + u')';
}

QString rideAlongMessage(qint64 port) {
    return QStringLiteral("起動中のエージェントに接続(127.0.0.1:") + portText(port) + u')';
}

// control.json names a live velmo-remote-host with a usable port.
bool isOurLiveAgent(const std::optional<ControlEndpoint> &ep) {
    return ep && ep->pid >= 2 && ep->port >= 1 && AgentProcessInfo::exists(ep->pid) &&
           AgentProcessInfo::isOurAgent(ep->pid);
}

constexpr qsizetype maxOutputLine = 64 * 1024;

} // namespace

// One launch in progress: the server it was asked for and its wait deadline.
struct AgentController::Launch {
    QString server;
    QElapsedTimer clock;
    qint64 deadlineMs = 0;
    bool expired() const { return clock.elapsed() >= deadlineMs; }
};

// The event-stream loop of one startEvents call. Deleting it cancels it: its
// stream and timers are its children.
class AgentController::EventLoop : public QObject {
public:
    EventLoop(AgentController *owner, const ControlClient &client) : m_owner(owner), m_current(client) {}

    void cancel() { m_cancelled = true; }

    void open() {
        if (m_cancelled)
            return;
        m_stream = m_current.events(
            this,
            [this](const ControlStatus &s) {
                if (m_cancelled)
                    return;
                if (!m_owner->m_eventsLogged) {
                    m_owner->log(QStringLiteral("events: 受信開始(id=") + s.id + u')');
                    m_owner->m_eventsLogged = true;
                }
                m_owner->setStatus(s);
            },
            [this](std::optional<Error> error) { ended(std::move(error)); });
    }

private:
    void ended(std::optional<Error> error) {
        if (m_stream) {
            m_stream->deleteLater();
            m_stream = nullptr;
        }
        if (m_cancelled)
            return;
        const bool failed = error.has_value();
        if (failed && !m_previousFailed)
            m_owner->log(QStringLiteral("events 切断: ") + error->message);
        // A stream that ends because its agent died (killed, crashed) must not leave
        // the last status on screen as if the device were still reachable.
        // A killed child stays a zombie until reaped: it no longer has an executable.
        const qint64 pid = m_owner->m_agentPid;
        if (pid > 0 && (!AgentProcessInfo::exists(pid) || !AgentProcessInfo::isOurAgent(pid)))
            m_owner->agentLost(QStringLiteral("エージェントが停止しました"));
        QTimer::singleShot(m_owner->m_timings.eventsReopenMs, this, [this, failed] { afterPause(failed); });
    }

    void afterPause(bool failed) {
        if (m_cancelled)
            return;
        const std::optional<ControlEndpoint> ep = ControlEndpoint::read(m_owner->controlJsonPath());
        if (m_owner->isUsableAgent(ep) && (ep->port != m_current.port() || ep->token != m_current.token())) {
            const ControlClient next(ep->port, ep->token);
            m_owner->m_client = next;
            m_owner->m_agentPid = ep->pid;
            m_owner->setRunning(true);
            m_owner->setAgentEnded(false);
            m_owner->setAttachedToResident(AgentProcessInfo::isResidentAgent(ep->pid));
            m_owner->m_eventsLogged = false;
            m_owner->setLastError(std::nullopt);
            m_owner->setMessage(m_owner->m_attachedToResident ? residentMessage(ep->port) : rideAlongMessage(ep->port));
            m_owner->log(QStringLiteral("エージェントが入れ替わったので繋ぎ直します(127.0.0.1:") + portText(ep->port) +
                         u')');
            m_owner->refresh(this, [this, next] {
                if (m_cancelled)
                    return;
                m_current = next;
                m_previousFailed = false;
                open();
            });
            return;
        }
        m_previousFailed = failed;
        open();
    }

    AgentController *m_owner;
    ControlClient m_current;
    ControlEventStream *m_stream = nullptr;
    bool m_previousFailed = false;
    bool m_cancelled = false;
};

AgentController::AgentController(AppConfig *config, QObject *parent)
    : QObject(parent), m_residentInstalled(ResidentAgent::installed()), m_message(QStringLiteral("エージェント未起動")),
      m_config(config), m_dataDir(Paths::dataDir()), m_log(m_dataDir + QStringLiteral("/desktop.log")) {
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::applicationStateChanged, this, &AgentController::onApplicationStateChanged);
}

AgentController::~AgentController() {
    stopEvents();
    if (m_process) {
        // Never block in a destructor: a still-running child is left to itself.
        m_process->disconnect(this);
        if (isRunning(m_process.get())) {
            QProcess *p = m_process.release();
            p->setParent(nullptr);
            connect(p, &QProcess::finished, p, &QObject::deleteLater);
        }
    }
}

QString AgentController::configuredServer() const {
    return m_config ? m_config->server() : AppConfig::defaultServer();
}

QString AgentController::controlJsonPath() const {
    return m_dataDir + QStringLiteral("/control.json");
}

bool AgentController::isUsableAgent(const std::optional<ControlEndpoint> &ep) const {
    // An agent we just stopped may still be shutting down with its control.json
    // in place: it is not ridden along.
    return isOurLiveAgent(ep) && !m_retiring.contains(ep->pid);
}

// ---- published fields

void AgentController::setStatus(const std::optional<ControlStatus> &s) {
    if (m_status == s)
        return;
    m_status = s;
    Q_EMIT statusChanged();
}

void AgentController::setRunning(bool v) {
    if (m_running == v)
        return;
    m_running = v;
    Q_EMIT runningChanged();
}

void AgentController::setAttachedToResident(bool v) {
    if (m_attachedToResident == v)
        return;
    m_attachedToResident = v;
    Q_EMIT attachedToResidentChanged();
}

void AgentController::setResidentInstalled(bool v) {
    if (m_residentInstalled == v)
        return;
    m_residentInstalled = v;
    Q_EMIT residentInstalledChanged();
}

void AgentController::setMessage(const QString &v) {
    if (m_message == v)
        return;
    m_message = v;
    Q_EMIT messageChanged();
}

void AgentController::setAgentEnded(bool v) {
    if (m_agentEnded == v)
        return;
    m_agentEnded = v;
    Q_EMIT agentEndedChanged();
}

void AgentController::agentLost(const QString &message) {
    if (m_agentEnded)
        return;
    m_agentPid = 0;
    m_client.reset();
    setRunning(false);
    setStatus(std::nullopt);
    setMessage(message);
    setAgentEnded(true);
}

void AgentController::setLastError(const std::optional<QString> &v) {
    if (m_lastError == v)
        return;
    m_lastError = v;
    Q_EMIT lastErrorChanged();
}

// ---- start and the launch decision tree

void AgentController::start(const QString &server) {
    if (m_launching || m_process)
        return;
    m_launching = true;
    launch(server);
}

void AgentController::finishLaunch() {
    m_launching = false;
}

void AgentController::launch(const QString &server) {
    QDir().mkpath(m_dataDir);
    rotateLogIfBig();
    auto l = std::make_shared<Launch>();
    l->server = server;

    // Ride along with an agent that is already up.
    const std::optional<ControlEndpoint> ep = ControlEndpoint::read(controlJsonPath());
    if (!isUsableAgent(ep)) {
        launchAfterRideAlong(l);
        return;
    }
    const ControlClient client(ep->port, ep->token);
    const qint32 pid = ep->pid;
    client.status(this, [this, l, client, pid](Result<ControlStatus> r) {
        if (!r.ok()) {
            launchAfterRideAlong(l);
            return;
        }
        const bool resident = AgentProcessInfo::isResidentAgent(pid);
        attach(client, pid, false, resident,
               resident ? residentMessage(client.port()) : rideAlongMessage(client.port()), true);
        log(QStringLiteral("既存のエージェント(pid ") + QString::number(pid) + QStringLiteral(")に相乗りします"));
    });
}

void AgentController::attach(const ControlClient &client, qint64 pid, bool spawned, bool resident,
                             const QString &message, bool endsLaunch) {
    m_spawnedByUs = spawned;
    m_client = client;
    m_agentPid = pid;
    setRunning(true);
    setAgentEnded(false);
    setAttachedToResident(resident);
    setMessage(message);
    refresh(this, [this, client, endsLaunch] {
        startEvents(client);
        if (endsLaunch)
            finishLaunch();
    });
}

void AgentController::launchAfterRideAlong(const std::shared_ptr<Launch> &l) {
    setResidentInstalled(ResidentAgent::installed());
    if (!m_residentInstalled) {
        spawnOwn(l);
        return;
    }
    log(QStringLiteral("常駐版を起こします"));
    startResident();
    l->clock.start();
    l->deadlineMs = m_timings.controlJsonWaitMs;
    residentWaitPass(l);
}

void AgentController::residentWaitPass(const std::shared_ptr<Launch> &l) {
    if (l->expired()) {
        residentFailure(l);
        return;
    }
    const std::optional<ControlEndpoint> ep = ControlEndpoint::read(controlJsonPath());
    if (ep && ep->port > 0) {
        const ControlClient client(ep->port, ep->token);
        const qint64 pid = ep->pid;
        client.status(this, [this, l, client, pid](Result<ControlStatus> r) {
            if (!r.ok()) {
                residentFailure(l);
                return;
            }
            attach(client, pid, false, true, residentMessage(client.port()), true);
        });
        return;
    }
    if (m_process && !isRunning(m_process.get())) {
        residentFailure(l);
        return;
    }
    QTimer::singleShot(m_timings.pollMs, this, [this, l] { residentWaitPass(l); });
}

void AgentController::residentFailure(const std::shared_ptr<Launch> &) {
    setMessage(QStringLiteral("常駐版のエージェントを起こせませんでした"));
    setLastError(QStringLiteral("常駐版(") + ResidentAgent::installedDir() +
                 QStringLiteral(")が動きません。ログを確認してください。"));
    retryAttachSoon();
    finishLaunch();
}

void AgentController::killStaleAgent() {
    const std::optional<ControlEndpoint> ep = ControlEndpoint::read(controlJsonPath());
    if (!ep || ep->pid < 2 || !AgentProcessInfo::exists(ep->pid) || !AgentProcessInfo::isOurAgent(ep->pid))
        return;
    log(QStringLiteral("前回のエージェント(pid ") + QString::number(ep->pid) + QStringLiteral(")を終了させます"));
    ::kill(static_cast<pid_t>(ep->pid), SIGTERM);
}

void AgentController::spawnOwn(const std::shared_ptr<Launch> &l) {
    killStaleAgent();
    QFile::remove(controlJsonPath());

    const std::optional<QString> exe = AgentLauncher::findExecutable();
    if (!exe) {
        setMessage(QStringLiteral("常駐版のエージェントがありません"));
        setLastError(QStringLiteral(
            "常駐版を入れられませんでした。アプリを作り直すか、deploy/linux/install.sh で入れてください。"));
        log(QStringLiteral("常駐版が無く、代わりに動かせる Velmo Remote Host もありません"));
        finishLaunch();
        return;
    }

    std::unique_ptr<QProcess> process = AgentLauncher::makeProcess(*exe, m_dataDir, l->server);
    connect(process.get(), &QProcess::readyReadStandardOutput, this, &AgentController::onProcessOutput);
    connect(process.get(), &QProcess::finished, this, &AgentController::onProcessFinished);

    log(QStringLiteral("Velmo Remote Host 起動: ") + *exe + QStringLiteral(" --data ") + m_dataDir +
        QStringLiteral(" --server ") + l->server);
    m_processEnded = false;
    m_outputPending.clear();
    process->start();
    if (!process->waitForStarted(10'000)) {
        // The log keeps the system's own words; the screen shows ours.
        const QString original = process->errorString();
        const QString text = ErrorText::process(process->error(), QFileInfo(*exe).fileName(), original);
        process->disconnect(this);
        setMessage(QStringLiteral("エージェントを起動できません"));
        setLastError(text);
        log(QStringLiteral("起動失敗: ") + text + QStringLiteral(" (") + original + u')');
        finishLaunch();
        return;
    }
    m_process = std::move(process);
    m_spawnedByUs = true;
    setRunning(true);
    setAttachedToResident(false);
    setMessage(QStringLiteral("エージェント起動中…"));
    l->clock.start();
    l->deadlineMs = m_timings.controlJsonWaitMs;
    spawnWaitPass(l);
}

void AgentController::spawnWaitPass(const std::shared_ptr<Launch> &l) {
    const std::optional<ControlEndpoint> ep = ControlEndpoint::read(controlJsonPath());
    if (ep && ep->port > 0) {
        log(QStringLiteral("control.json 読み込み: port=") + portText(ep->port) + QStringLiteral(" pid=") +
            QString::number(ep->pid));
        attach(ControlClient(ep->port, ep->token), ep->pid, true, false,
               QStringLiteral("制御 API 接続済み(127.0.0.1:") + portText(ep->port) + u')', true);
        return;
    }
    if (!isRunning(m_process.get()) || l->expired()) {
        setMessage(QStringLiteral("control.json を読めませんでした"));
        setLastError(
            QStringLiteral("エージェントは起動しましたが control.json が現れません。ログを確認してください。"));
        log(QStringLiteral("control.json 待ちタイムアウト"));
        finishLaunch();
        return;
    }
    QTimer::singleShot(m_timings.pollMs, this, [this, l] { spawnWaitPass(l); });
}

// ---- the spawned agent's output and end

void AgentController::onProcessOutput() {
    auto *p = qobject_cast<QProcess *>(sender());
    if (!p || p != m_process.get())
        return;
    m_outputPending += p->readAllStandardOutput();
    // Whole lines only: a read may end inside a line or a multi-byte character.
    qsizetype start = 0;
    for (;;) {
        const qsizetype nl = m_outputPending.indexOf('\n', start);
        if (nl < 0)
            break;
        QByteArray line = m_outputPending.mid(start, nl - start);
        start = nl + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            log(QStringLiteral("agent: ") + QString::fromUtf8(line));
    }
    m_outputPending.remove(0, start);
    // A line without end is logged in pieces rather than held without bound;
    // the cut backs off to a character boundary.
    while (m_outputPending.size() > maxOutputLine) {
        qsizetype cut = maxOutputLine;
        while (cut > 0 && (static_cast<unsigned char>(m_outputPending[cut]) & 0xC0) == 0x80)
            --cut;
        if (cut == 0)
            cut = maxOutputLine;
        log(QStringLiteral("agent: ") + QString::fromUtf8(m_outputPending.left(cut)));
        m_outputPending.remove(0, cut);
    }
}

void AgentController::flushProcessOutput() {
    QByteArray rest = std::move(m_outputPending);
    m_outputPending.clear();
    if (rest.endsWith('\r'))
        rest.chop(1);
    if (!rest.isEmpty())
        log(QStringLiteral("agent: ") + QString::fromUtf8(rest));
}

void AgentController::onProcessFinished(int exitCode, QProcess::ExitStatus) {
    auto *p = qobject_cast<QProcess *>(sender());
    if (!p || p != m_process.get())
        return;
    m_outputPending += p->readAllStandardOutput();
    onProcessOutput();
    flushProcessOutput();
    m_processEnded = true;
    stopEvents();
    agentLost(QStringLiteral("エージェント停止(終了コード ") + QString::number(exitCode) + u')');
    setMessage(QStringLiteral("エージェント停止(終了コード ") + QString::number(exitCode) + u')');
    log(QStringLiteral("agent 終了: status=") + QString::number(exitCode));
}

// ---- events and reattach

void AgentController::stopEvents() {
    if (!m_events)
        return;
    m_events->cancel();
    // Not deleted in place: this may run inside one of the loop's own callbacks.
    m_events.release()->deleteLater();
}

void AgentController::startEvents(const ControlClient &client) {
    stopEvents();
    m_eventsLogged = false;
    m_events = std::make_unique<EventLoop>(this, client);
    m_events->open();
}

void AgentController::retryAttachSoon() {
    if (m_retrying)
        return;
    m_retrying = true;
    const quint64 generation = ++m_retryGeneration;
    auto pass = std::make_shared<std::function<void()>>();
    *pass = [this, generation, weakPass = std::weak_ptr<std::function<void()>>(pass)] {
        if (generation != m_retryGeneration)
            return;
        auto again = [this, generation, weakPass] {
            if (auto p = weakPass.lock())
                QTimer::singleShot(m_timings.retryAttachMs, this, [p] { (*p)(); });
            else if (generation == m_retryGeneration)
                m_retrying = false;
        };
        if (m_running) {
            m_retrying = false;
            return;
        }
        const std::optional<ControlEndpoint> ep = ControlEndpoint::read(controlJsonPath());
        if (!isUsableAgent(ep)) {
            again();
            return;
        }
        const ControlClient client(ep->port, ep->token);
        const qint32 pid = ep->pid;
        client.status(this, [this, client, pid, again](Result<ControlStatus> r) {
            if (!r.ok() || m_running) {
                if (m_running)
                    m_retrying = false;
                else
                    again();
                return;
            }
            m_retrying = false;
            setLastError(std::nullopt);
            attach(client, pid, false, AgentProcessInfo::isResidentAgent(pid), residentMessage(client.port()), false);
            log(QStringLiteral("常駐版が上がったので繋ぎ直しました"));
        });
    };
    m_retryPass = pass;
    QTimer::singleShot(m_timings.retryAttachMs, this, [pass] { (*pass)(); });
}

// ---- requests

void AgentController::refresh(QObject *context, Done done) {
    Done finish = guarded(context, std::move(done));
    if (!m_client) {
        finish();
        return;
    }
    m_client->status(this, [this, finish](Result<ControlStatus> r) {
        if (r.ok()) {
            const ControlStatus &s = *r.value;
            setStatus(s);
            setLastError(std::nullopt);
            log(QStringLiteral("status: id=") + s.id + QStringLiteral(" name=") + s.name + QStringLiteral(" 接続=") +
                (s.connected ? QStringLiteral("true") : QStringLiteral("false")) + QStringLiteral(" 共有=") +
                (s.sharing ? QStringLiteral("true") : QStringLiteral("false")) + QStringLiteral(" セッション=") +
                QString::number(s.sessions.size()));
        } else {
            const QString text = r.error.message;
            setLastError(text);
            log(QStringLiteral("status 取得失敗: ") + text);
        }
        finish();
    });
}

void AgentController::command(const QString &path, const QJsonObject &body, QObject *context, Done done) {
    Done finish = guarded(context, std::move(done));
    if (!m_client) {
        setLastError(ControlError::notReady().message);
        finish();
        return;
    }
    m_client->post(path, body, this, [this, finish](Result<QByteArray> r) {
        if (!r.ok()) {
            setLastError(r.error.message);
            finish();
            return;
        }
        setLastError(std::nullopt);
        refresh(this, finish);
    });
}

void AgentController::setQuality(int fps, double scale, int kbps, QObject *context, Done done) {
    command(QStringLiteral("quality"), {{"fps", fps}, {"scale", scale}, {"kbps", kbps}}, context, std::move(done));
}

void AgentController::setAudio(bool on, const QString &source, QObject *context, Done done) {
    command(QStringLiteral("audio"), {{"on", on}, {"source", source}}, context, std::move(done));
}

void AgentController::answerAsk(const QString &sid, bool ok, QObject *context, Done done) {
    command(QStringLiteral("asks/answer"), {{"sid", sid}, {"ok", ok}}, context, std::move(done));
}

void AgentController::addController(const QString &label, const QString &pub, QObject *context, Done done) {
    command(QStringLiteral("controller/add"), {{"label", label}, {"pub", pub}}, context, std::move(done));
}

void AgentController::removeController(const QString &pub, QObject *context, Done done) {
    command(QStringLiteral("controller/remove"), {{"pub", pub}}, context, std::move(done));
}

void AgentController::acceptEula(QObject *context, Done done) {
    command(QStringLiteral("eula/accept"), {}, context, std::move(done));
}

void AgentController::setSharing(bool on, QObject *context, Done done) {
    command(QStringLiteral("sharing"), {{"on", on}}, context, std::move(done));
}

void AgentController::setNoticeBar(bool on, QObject *context, Done done) {
    command(QStringLiteral("notice-bar"), {{"on", on}}, context, std::move(done));
}

void AgentController::setUnattended(bool on, QObject *context, Done done) {
    command(QStringLiteral("unattended"), {{"on", on}}, context, std::move(done));
}

void AgentController::rotatePasscode(QObject *context, Done done) {
    command(QStringLiteral("passcode/rotate"), {}, context, std::move(done));
}

void AgentController::setFixedPasscode(const QString &passcode, QObject *context, Done done) {
    command(QStringLiteral("passcode/fixed"), {{"passcode", passcode}}, context, std::move(done));
}

void AgentController::setPasscodeMode(const QString &mode, QObject *context, Done done) {
    command(QStringLiteral("passcode/mode"), {{"mode", mode}}, context, std::move(done));
}

void AgentController::setName(const QString &name, QObject *context, Done done) {
    command(QStringLiteral("name"), {{"name", name}}, context, std::move(done));
}

void AgentController::disconnectSession(const QString &sid, QObject *context, Done done) {
    command(QStringLiteral("disconnect"), {{"sid", sid}}, context, std::move(done));
}

void AgentController::setPermissions(const QString &sid, bool input, bool clip, bool files, QObject *context,
                                     Done done) {
    command(QStringLiteral("perm"), {{"sid", sid}, {"input", input}, {"clip", clip}, {"files", files}}, context,
            std::move(done));
}

void AgentController::setRights(const QString &sid, bool input, bool clip, bool files, bool mic, QObject *context,
                                Done done) {
    command(QStringLiteral("perm"), {{"sid", sid}, {"input", input}, {"clip", clip}, {"files", files}, {"mic", mic}},
            context, std::move(done));
}

void AgentController::sendFile(const QString &sid, const QString &path, QObject *context, Done done) {
    command(QStringLiteral("files/send"), {{"sid", sid}, {"path", path}}, context, std::move(done));
}

// ---- permissions

void AgentController::permissionFlow(bool screen, QObject *context, Done done) {
    Done finish = guarded(context, std::move(done));
    // Linux has no privacy panes to open; only the flag is kept.
    if (!m_client) {
        m_awaitingScreenPerm = true;
        finish();
        return;
    }
    auto handle = [this, finish](Result<bool> r) {
        if (r.ok() && *r.value) {
            reloadAfterScreenPermission(this, finish);
            return;
        }
        m_awaitingScreenPerm = true;
        refresh(this, finish);
    };
    if (screen)
        m_client->requestScreenPermission(this, handle);
    else
        m_client->requestInputPermission(this, handle);
}

void AgentController::requestScreenPermission(QObject *context, Done done) {
    permissionFlow(true, context, std::move(done));
}

void AgentController::requestInputPermission(QObject *context, Done done) {
    permissionFlow(false, context, std::move(done));
}

void AgentController::reloadAfterScreenPermission(QObject *context, Done done) {
    Done finish = guarded(context, std::move(done));
    m_awaitingScreenPerm = false;
    if (!m_residentInstalled) {
        log(QStringLiteral("画面収録の許可を反映するためエージェントを起こし直します"));
        stop();
        start(configuredServer());
    } else {
        ResidentAgent::systemctl({QStringLiteral("restart"), QLatin1String(ResidentAgent::unitName)});
        log(QStringLiteral("画面収録の許可を反映するため常駐版を起こし直しました"));
    }
    QTimer::singleShot(m_timings.permissionReloadMs, this, [this, finish] { refresh(this, finish); });
}

void AgentController::onApplicationStateChanged(Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive && m_awaitingScreenPerm)
        reloadAfterScreenPermission();
}

// ---- stop

void AgentController::stop() {
    stopEvents();
    if (m_spawnedByUs && m_client) {
        // Fire and forget: nobody waits for the answer.
        m_client->post(QStringLiteral("quit"), {}, nullptr, {});
    }
    m_client.reset();
    if (m_process) {
        m_process->disconnect(this);
        if (m_spawnedByUs && isRunning(m_process.get())) {
            m_process->terminate();
            // Kept alive until it ends: destroying a running QProcess would kill and wait.
            QProcess *p = m_process.release();
            const qint64 pid = p->processId();
            m_retiring.insert(pid);
            connect(p, &QProcess::finished, this, [this, p, pid] {
                m_retiring.remove(pid);
                p->deleteLater();
            });
            p->setParent(this);
        }
        m_process.reset();
    }
    m_spawnedByUs = false;
    m_agentPid = 0;
    setRunning(false);
    setStatus(std::nullopt);
    setMessage(QStringLiteral("エージェント停止"));
}

void AgentController::restartAgent() {
    log(QStringLiteral("エージェントを起こし直します"));
    stop();
    setAgentEnded(false);
    start(configuredServer());
}

void AgentController::terminateAgentSync() {
    stopEvents();
    if (m_spawnedByUs && m_process) {
        m_process->disconnect(this);
        if (isRunning(m_process.get())) {
            m_process->terminate();
            QElapsedTimer t;
            t.start();
            while (isRunning(m_process.get()) && t.elapsed() < m_timings.terminateWaitMs)
                m_process->waitForFinished(50);
            if (isRunning(m_process.get())) {
                m_process->kill();
                m_process->waitForFinished(1000);
            }
        }
    }
    if (m_process && isRunning(m_process.get())) {
        // Not ours to end (should not happen): let it go without blocking.
        QProcess *p = m_process.release();
        connect(p, &QProcess::finished, p, &QObject::deleteLater);
        p->setParent(this);
    }
    m_process.reset();
}

// ---- resident agent

void AgentController::writeResidentUnit() {
    ResidentAgent::writeUnit(m_dataDir, configuredServer());
}

void AgentController::startResident() {
    if (!QFileInfo::exists(ResidentAgent::unitPath()))
        writeResidentUnit();
    ResidentAgent::wake();
    log(QStringLiteral("常駐版を起こしました(") + QLatin1String(ResidentAgent::label) + u')');
}

void AgentController::installResident(bool restart, QObject *context, Done done) {
    Done finish = guarded(context, std::move(done));
    const std::optional<QString> bundled = ResidentAgent::bundledDir();
    if (!bundled) {
        setLastError(QStringLiteral("このアプリには常駐版が同梱されていません(scripts/build.sh で作り直してください)"));
        finish();
        return;
    }
    setMessage(QStringLiteral("常駐版を入れています…"));
    if (restart)
        stop();

    auto fail = [this, finish](const QString &text) {
        setLastError(QStringLiteral("常駐版を入れられませんでした: ") + text);
        log(QStringLiteral("常駐版の配置に失敗: ") + text);
        finish();
    };

    if (const std::optional<QString> problem = ResidentAgent::clearInstallTarget()) {
        fail(*problem);
        return;
    }

    auto *cp = new QProcess(this);
    cp->setProcessChannelMode(QProcess::MergedChannels);
    cp->setStandardInputFile(QProcess::nullDevice());
    connect(cp, &QProcess::errorOccurred, this, [cp, fail](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        cp->deleteLater();
        fail(ErrorText::process(e, QStringLiteral("cp"), cp->errorString()));
    });
    connect(cp, &QProcess::finished, this, [this, cp, fail, finish, restart](int code, QProcess::ExitStatus st) {
        cp->deleteLater();
        if (st != QProcess::NormalExit || code != 0) {
            fail(QStringLiteral("操作を完了できませんでした。(cp エラー ") +
                 QString::number(st == QProcess::NormalExit ? code : -1) + u')');
            return;
        }
        for (const QString &dir : ResidentAgent::removeLegacyCopies())
            log(QStringLiteral("昔の置き場所を消しました: ") + dir);
        writeResidentUnit();
        ResidentAgent::enableFresh();
        setResidentInstalled(ResidentAgent::installed());
        log(QStringLiteral("常駐版を入れました: ") + ResidentAgent::installedDir());
        if (!restart) {
            finish();
            return;
        }
        QTimer::singleShot(m_timings.residentInstallWaitMs, this, [this, finish] {
            start(configuredServer());
            finish();
        });
    });
    cp->start(QStringLiteral("cp"), ResidentAgent::copyArguments(*bundled, ResidentAgent::installedDir()));
}

// ---- log

void AgentController::log(const QString &text) {
    m_log.append(text);
    Q_EMIT logLinesChanged();
}

void AgentController::rotateLogIfBig() {
    m_log.rotateIfBig();
}
