#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real velmo-rendezvous child process on 127.0.0.1 with a free port and its own
// registry file (kept across restart(), so registrations survive like in production).
class RendezvousProcess {
public:
    RendezvousProcess();
    ~RendezvousProcess();

    // Starts the server with extra arguments (e.g. {"--admin-token", "t"}); waits for the
    // "listening on" line. False (with the output in the test log) when it did not come.
    bool start(const QStringList &extraArgs = {});
    // Stops (SIGTERM, then kill) and starts again with the same arguments and database.
    bool restart();
    void stop();
    // SIGKILL, no clean shutdown.
    void kill();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT"
    QString url() const;
    // "ws://127.0.0.1:PORT" + path
    QString wsUrl(const QString &path) const;
    QString dbPath() const;
    QProcess &process() { return m_process; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QStringList m_args;
    quint16 m_port = 0;
};
