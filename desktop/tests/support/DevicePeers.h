#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// A real velmo-rendezvous and a real velmo-remote-host registered with it, both child
// processes on 127.0.0.1, for tests of the device side. The host runs with
// --test-hooks; `hooks` goes to VELMO_DEVICE_HOOKS.
class DevicePeers {
public:
    DevicePeers();
    ~DevicePeers();

    bool startServer(const QStringList &extraArgs = {});
    bool startHost(const QString &hooks = {});
    // Waits until the host's status shows a registered nine-digit ID.
    bool waitForDevice(int timeoutMs = 15000);
    void killHost();

    // The control API of the host (blocking helpers for tests).
    QJsonObject status();
    int post(const QString &path, const QJsonObject &body);

    QString serverUrl() const { return m_serverUrl; }
    QString deviceId() const { return m_deviceId; }
    QString autoPasscode() const { return m_autoPasscode; }
    QString dataDir() const { return m_dir.path() + QStringLiteral("/host"); }
    QProcess &host() { return m_host; }

private:
    QByteArray request(const QByteArray &verb, const QString &path, const QByteArray &body, int *status);

    QTemporaryDir m_dir;
    QProcess m_server;
    QProcess m_host;
    QString m_serverUrl;
    QString m_deviceId;
    QString m_autoPasscode;
    quint16 m_controlPort = 0;
    QString m_token;
};
