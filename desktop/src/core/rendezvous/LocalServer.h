#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QTcpSocket;

// The rendezvous server on this machine. When the configured server is the default local
// address and nothing answers there, it starts the velmo-rendezvous shipped with the
// application (data under <data directory>/rendezvous), passes its output on as log lines,
// and ends it when the application quits. A server already answering there is used and
// left alone; any other configured server is not touched at all. Main thread only.
class LocalServer : public QObject {
    Q_OBJECT
    Q_PROPERTY(Origin origin READ origin NOTIFY originChanged)
    Q_PROPERTY(QString summary READ summary NOTIFY originChanged)
public:
    enum class Origin {
        Unknown,        // ensure() not called yet
        Remote,         // the configured server is not the default local one
        AlreadyRunning, // something answered on the default local address: used, left alone
        Starting,       // ours is starting
        StartedByApp,   // ours listens
        NotFound,       // no velmo-rendezvous to start was found (nothing probed)
        Failed,         // ours did not start, or ended
    };
    Q_ENUM(Origin)

    static constexpr const char *defaultUrl = "http://127.0.0.1:8787";
    static constexpr quint16 defaultPort = 8787;
    static constexpr const char *executableName = "velmo-rendezvous";

    struct Timings {
        int probeMs = 1'500;       // waiting for something to accept on the default address
        int listenWaitMs = 10'000; // waiting for ours to say it listens
        int terminateWaitMs = 3'000;
        int restartMs = 2'000; // first wait before starting a server that ended by itself again
    };
    // Quick ends in a row after which a server that keeps ending is left down.
    static constexpr int maxRestarts = 5;

    // `dataDir` is the application's data directory; the server keeps its registry below it.
    explicit LocalServer(const QString &dataDir, QObject *parent = nullptr);
    ~LocalServer() override;

    Origin origin() const { return m_origin; }
    // One line for the host panel: which server and whether this application started it.
    QString summary() const;
    bool startedByApp() const { return m_origin == Origin::StartedByApp || m_origin == Origin::Starting; }
    QString serverDataDir() const { return m_dataDir + QStringLiteral("/rendezvous"); }
    qint64 processId() const { return m_process ? m_process->processId() : 0; }

    Timings timings() const { return m_timings; }
    void setTimings(const Timings &t) { m_timings = t; }

    // Makes sure `server` can be used, then calls `ready` on the main thread (unless
    // `context` is gone): at once for any server but the default local one, and when there
    // is no velmo-rendezvous to start; after the probe when something answers there; once
    // ours listens, or failed to, otherwise. `ready` is called whatever the outcome. A call
    // while one is under way waits for that one.
    void ensure(const QString &server, QObject *context, std::function<void()> ready);
    // Ends the server this application started and waits for it (SIGTERM, at most ~3 s,
    // then SIGKILL). A server it did not start is left alone.
    void terminateSync();

    // "http://127.0.0.1:8787" with or without trailing slashes, "localhost" alike.
    static bool isDefaultLocal(const QString &server);
    // VELMO_RENDEZVOUS, then beside the application's executable (<prefix>/bin), then the
    // build tree's server/ directory.
    static std::optional<QString> findExecutable();

Q_SIGNALS:
    void originChanged();
    // One line of the server's output, or a note of this supervisor, for the log section.
    void logLine(const QString &line);

private:
    void setOrigin(Origin o);
    void probed(bool answered);
    void spawn();
    void onOutput();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void listenTimeout();
    void finishWaiters();

    struct Waiter {
        QPointer<QObject> context;
        bool hadContext = false;
        std::function<void()> ready;
    };

    QString m_dataDir;
    QString m_server;
    std::optional<QString> m_executable;
    Origin m_origin = Origin::Unknown;
    Timings m_timings;
    std::unique_ptr<QProcess> m_process;
    QPointer<QTcpSocket> m_probe;
    QByteArray m_pending; // partial output line
    QList<Waiter> m_waiters;
    quint64 m_generation = 0; // of the listen wait and of a planned restart
    int m_restarts = 0;       // quick ends in a row
    QElapsedTimer m_serving;  // since ours said it listens
};
