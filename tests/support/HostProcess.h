#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <memory>

// A velmo-remote-host started by a test with its test hooks, in a data
// directory of the test's choosing. Blocking helpers: tests only.
class HostProcess {
public:
    // Starts VELMO_HOST_BIN (or `program`) with --data dataDir --test-hooks and
    // waits up to 10 s for its control.json.
    explicit HostProcess(const QString &dataDir, const QString &program = QString(), const QStringList &extraArgs = {});
    ~HostProcess();

    bool ok() const { return m_port > 0; }
    qint64 pid() const;
    quint16 port() const { return m_port; }
    QString token() const { return m_token; }
    QString dataDir() const { return m_dataDir; }
    bool running() const;

    // Re-reads control.json (after a restart hook).
    bool reload();
    // One request with the bearer token; returns the HTTP status (0 on failure)
    // and stores the body.
    int post(const QString &path, const QJsonObject &body = {}, QByteArray *answer = nullptr) const;
    int get(const QString &path, QByteArray *answer = nullptr) const;
    // Paths of the control API requests the agent received (test/requests).
    QStringList requestPaths() const;
    // SIGTERM, then SIGKILL after 3 s.
    void stop();

    // Reads control.json of a data directory: {port, token, pid} or empty.
    static QJsonObject readControlJson(const QString &dataDir);

private:
    QString m_dataDir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_token;
};

// Blocking HTTP request to 127.0.0.1 for tests: returns the status (0 when no
// HTTP answer came within 10 s).
int testHttp(const QByteArray &method, quint16 port, const QString &path, const QByteArray &token,
             const QByteArray &body = {}, QByteArray *answer = nullptr);
