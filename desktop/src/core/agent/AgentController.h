#pragma once

#include "agent/AgentLog.h"
#include "agent/ControlClient.h"
#include "agent/ControlEndpoint.h"
#include "protocol/agent/ControlStatus.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// The supervisor of the local agent: rides along with a running agent, wakes
// the resident one (systemd user service) or spawns velmo-remote-host, keeps a
// live event stream of its status, follows it when it is replaced, and keeps a
// log in memory and in desktop.log. Everything runs on the main thread.
//
// Asynchronous operations take an optional context and completion; the
// completion runs on the main thread once the operation (including its status
// refresh) is over, and not at all when the context is gone.
class AppConfig;

class AgentController : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<ControlStatus> status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(bool attachedToResident READ attachedToResident NOTIFY attachedToResidentChanged)
    Q_PROPERTY(bool residentInstalled READ residentInstalled NOTIFY residentInstalledChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QStringList logLines READ logLines NOTIFY logLinesChanged)
    Q_PROPERTY(bool agentEnded READ agentEnded NOTIFY agentEndedChanged)

public:
    using Done = std::function<void()>;

    // Waits and periods; tests shorten them.
    struct Timings {
        int controlJsonWaitMs = 20'000; // waiting for control.json
        int pollMs = 200;               // one pass of that wait
        int retryAttachMs = 15'000;     // background reattach period
        int eventsReopenMs = 1'000;     // after the event stream ends or breaks
        int permissionReloadMs = 2'500; // before refreshing after a permission restart
        int residentInstallWaitMs = 3'000;
        int terminateWaitMs = 3'000; // before SIGKILL at shutdown
    };

    // The data directory is fixed at creation (Paths::dataDir()). A restart and the resident
    // unit use the server configured in `config` at that moment; without a config (tests),
    // the default local server.
    explicit AgentController(AppConfig *config = nullptr, QObject *parent = nullptr);
    ~AgentController() override;

    // Published fields.
    const std::optional<ControlStatus> &status() const { return m_status; }
    bool running() const { return m_running; }
    bool attachedToResident() const { return m_attachedToResident; }
    bool residentInstalled() const { return m_residentInstalled; }
    QString message() const { return m_message; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    QStringList logLines() const { return m_log.lines(); }
    // The agent this application held has ended (exited, crashed or was killed) and no
    // other one has taken its place. Nothing restarts it by itself: restartAgent() does.
    bool agentEnded() const { return m_agentEnded; }

    QString dataDir() const { return m_dataDir; }
    bool spawnedByUs() const { return m_spawnedByUs; }
    // The current agent's client, if any.
    std::optional<ControlClient> client() const { return m_client; }
    // Whether a launch is under way (start() then does nothing).
    bool launching() const { return m_launching; }
    // Whether the user was sent to grant a permission (reload on activation).
    bool awaitingScreenPerm() const { return m_awaitingScreenPerm; }

    Timings timings() const { return m_timings; }
    void setTimings(const Timings &t) { m_timings = t; }

    // Starts the launch decision tree unless a launch runs or a spawned process is kept.
    void start(const QString &server);
    // Detaches from the agent; ends it only when this application spawned it.
    void stop();
    // Ends a spawned agent and waits for it (terminate, at most ~3 s, then kill).
    // Publishes and logs nothing.
    void terminateAgentSync();
    // The user's "restart" after the agent ended: detaches what is left and runs the
    // launch decision tree again with the configured server.
    void restartAgent();

    // Reads "status" once.
    void refresh(QObject *context = nullptr, Done done = {});
    // Generic POST of one command, then refresh.
    void command(const QString &path, const QJsonObject &body = {}, QObject *context = nullptr, Done done = {});

    // Command wrappers (bodies exactly as the control API lists them).
    void setQuality(int fps, double scale, int kbps, QObject *context = nullptr, Done done = {});
    void setAudio(bool on, const QString &source, QObject *context = nullptr, Done done = {});
    void answerAsk(const QString &sid, bool ok, QObject *context = nullptr, Done done = {});
    void addController(const QString &label, const QString &pub, QObject *context = nullptr, Done done = {});
    void removeController(const QString &pub, QObject *context = nullptr, Done done = {});
    void acceptEula(QObject *context = nullptr, Done done = {});
    void setSharing(bool on, QObject *context = nullptr, Done done = {});
    void setNoticeBar(bool on, QObject *context = nullptr, Done done = {});
    // Unattended access: on GNOME the agent shares without the desktop's dialog (used from
    // the agent's next start).
    void setUnattended(bool on, QObject *context = nullptr, Done done = {});
    void rotatePasscode(QObject *context = nullptr, Done done = {});
    void setFixedPasscode(const QString &passcode, QObject *context = nullptr, Done done = {});
    void setPasscodeMode(const QString &mode, QObject *context = nullptr, Done done = {});
    void setName(const QString &name, QObject *context = nullptr, Done done = {});
    void disconnectSession(const QString &sid, QObject *context = nullptr, Done done = {});
    void setPermissions(const QString &sid, bool input, bool clip, bool files, QObject *context = nullptr,
                        Done done = {});
    // The same with the viewer's microphone (`mic`: its voice plays into a microphone of this desktop).
    void setRights(const QString &sid, bool input, bool clip, bool files, bool mic, QObject *context = nullptr,
                   Done done = {});
    // Sends a file of this desktop (absolute path) to an authenticated viewer with `files`.
    void sendFile(const QString &sid, const QString &path, QObject *context = nullptr, Done done = {});

    // Permission flows. Linux has no settings panes: the "open settings" step
    // does nothing; the flag handling is kept.
    void requestScreenPermission(QObject *context = nullptr, Done done = {});
    void requestInputPermission(QObject *context = nullptr, Done done = {});
    void reloadAfterScreenPermission(QObject *context = nullptr, Done done = {});

    // Resident agent (systemd user service).
    // Wakes the installed resident agent: writes the unit if missing, then
    // enables/starts or restarts it.
    void startResident();
    // Writes the user unit for the configured server.
    void writeResidentUnit();
    // Installs or reinstalls the resident agent from the bundled copy.
    void installResident(bool restart, QObject *context = nullptr, Done done = {});

    // Appends one timestamped line to the log (memory, standard error, desktop.log).
    void log(const QString &text);
    // Deletes desktop.log when larger than AgentLog::maxFileBytes.
    void rotateLogIfBig();

Q_SIGNALS:
    void statusChanged();
    void runningChanged();
    void attachedToResidentChanged();
    void residentInstalledChanged();
    void messageChanged();
    void lastErrorChanged();
    void logLinesChanged();
    void agentEndedChanged();

private:
    struct Launch;
    class EventLoop;

    void setStatus(const std::optional<ControlStatus> &s);
    void setRunning(bool v);
    void setAttachedToResident(bool v);
    void setResidentInstalled(bool v);
    void setMessage(const QString &v);
    void setLastError(const std::optional<QString> &v);
    void setAgentEnded(bool v);
    // The attached agent's process is gone: nothing it reported holds any more.
    void agentLost(const QString &message);

    // Launch decision tree, one step per function.
    void launch(const QString &server);
    QString configuredServer() const;
    void launchAfterRideAlong(const std::shared_ptr<Launch> &l);
    void residentWaitPass(const std::shared_ptr<Launch> &l);
    void residentFailure(const std::shared_ptr<Launch> &l);
    void spawnOwn(const std::shared_ptr<Launch> &l);
    void spawnWaitPass(const std::shared_ptr<Launch> &l);
    void finishLaunch();
    // Takes client as the agent: publishes it (spawned by us or not, resident or
    // not, with message), reads its status, then follows its events; endsLaunch
    // closes the launch under way.
    void attach(const ControlClient &client, qint64 pid, bool spawned, bool resident, const QString &message,
                bool endsLaunch);

    void startEvents(const ControlClient &client);
    void stopEvents();
    void retryAttachSoon();
    void killStaleAgent();
    void onProcessOutput();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void flushProcessOutput();
    void permissionFlow(bool screen, QObject *context, Done done);
    void onApplicationStateChanged(Qt::ApplicationState state);

    QString controlJsonPath() const;
    // control.json names a live velmo-remote-host that we did not just tell to end.
    bool isUsableAgent(const std::optional<ControlEndpoint> &ep) const;

    // Published.
    std::optional<ControlStatus> m_status;
    bool m_running = false;
    bool m_attachedToResident = false;
    bool m_residentInstalled = false;
    QString m_message;
    std::optional<QString> m_lastError;
    bool m_agentEnded = false;

    // Private.
    QPointer<AppConfig> m_config;
    QString m_dataDir;
    AgentLog m_log;
    std::unique_ptr<QProcess> m_process;
    bool m_spawnedByUs = false;
    std::optional<ControlClient> m_client;
    qint64 m_agentPid = 0; // process of the attached agent (0: not known)
    std::unique_ptr<EventLoop> m_events;
    bool m_launching = false;
    bool m_retrying = false;
    quint64 m_retryGeneration = 0;
    std::shared_ptr<std::function<void()>> m_retryPass; // the running retry loop's step
    bool m_eventsLogged = false;
    bool m_awaitingScreenPerm = false;
    bool m_processEnded = false;
    QByteArray m_outputPending; // partial line of the spawned agent's output
    QSet<qint64> m_retiring;    // pids of agents we told to end that have not ended yet
    Timings m_timings;
};
