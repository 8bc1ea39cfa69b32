#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real velmo-rendezvous child process on 127.0.0.1 with a free port and its own
// registry file (kept across restart(), so registrations survive like in production).
// Under a test environment with PostgreSQL (VELMO_TEST_PG_URL) the registry is a database
// of its own there instead, and with Redis (VELMO_TEST_REDIS_URL) the server runs on that
// bus, as one instance of several would.
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
    // What --db is given: the SQLite file, or the PostgreSQL database's URL.
    QString database();
    // Several instances share one registry: use this one (e.g. another process's database()).
    void setDatabase(const QString &database) { m_database = database; }
    // A fresh PostgreSQL database on the test's server; empty when there is none.
    static QString createPostgresDatabase();
    QProcess &process() { return m_process; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QStringList m_args;
    QString m_database;
    quint16 m_port = 0;
};
