#pragma once

#include "support/DeviceTestViewer.h"

#include <QJsonObject>
#include <QList>
#include <QNetworkRequest>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>

// A real velmo-rendezvous and a real velmo-remote-host registered with it, both child
// processes on 127.0.0.1, for tests of the device side. The host runs with
// --test-hooks; `hooks` goes to VELMO_DEVICE_HOOKS.
class DevicePeers {
public:
    DevicePeers();
    ~DevicePeers();

    bool startServer(const QStringList &extraArgs = {});
    // The host registers with this server (or load balancer) instead of one started here.
    void useServer(const QString &url) { m_serverUrl = url; }
    // The host shows the test pattern unless told "screen" (the display in DISPLAY).
    void setHostSource(const QString &source) { m_hostSource = source; }
    bool startHost(const QString &hooks = {});
    // For the next startHost: more arguments (e.g. "--source test") and environment.
    void setHostArgs(const QStringList &args) { m_hostArgs = args; }
    void setHostEnv(const QString &key, const QString &value) { m_hostEnv.insert(key, value); }
    // Waits until the host's status shows a registered nine-digit ID.
    bool waitForDevice(int timeoutMs = 15000);
    void killHost();
    void killServer();
    // Starts the server again on the same port and registry.
    bool restartServer();

    // The control API of the host (blocking helpers for tests).
    QJsonObject status();
    // Whether the status lists this session with this authed flag / at all.
    bool sessionListed(const QString &sid, bool authed);
    bool sessionGone(const QString &sid);
    // GET on the rendezvous server's REST interface.
    QJsonObject rest(const QString &path);
    QByteArray restBytes(const QString &path);
    int post(const QString &path, const QJsonObject &body);

    QString serverUrl() const { return m_serverUrl; }
    QString deviceId() const { return m_deviceId; }
    // A scripted viewer already started towards this device.
    std::unique_ptr<DeviceTestViewer> viewer(const QString &passcode, bool h264 = false) const {
        DeviceTestViewer::Options o;
        o.passcode = passcode;
        o.h264 = h264;
        auto v = std::make_unique<DeviceTestViewer>(serverUrl(), deviceId(), o);
        v->start();
        return v;
    }
    // The automatic passcode in force now (it changes after each session that used it),
    // as the agent's status gives it; the last one seen when the agent does not answer.
    QString autoPasscode();
    // Sets a fixed passcode and makes it the only one: for tests that connect viewer after
    // viewer, where the automatic passcode changes whenever a session that used it ends
    // (a race between one viewer's goodbye and the next one's read). Empty on failure.
    QString useFixedPasscode(const QString &passcode);
    QString dataDir() const { return m_hostDataDir.isEmpty() ? m_dir.path() + QStringLiteral("/host") : m_hostDataDir; }
    // What the host logged of the "input" channel (started with the "input_log" hook), one
    // object per line of device-input.jsonl; empty before anything arrived.
    QList<QJsonObject> inputLog() const;
    // Where the next startHost keeps its data (e.g. the application's own data directory,
    // so that an AgentController finds the agent).
    void setHostDataDir(const QString &dir) { m_hostDataDir = dir; }
    QProcess &host() { return m_host; }

private:
    // Waits for the started server to announce its port; empty when it does not.
    QString serverListening();
    QByteArray request(const QByteArray &verb, const QString &path, const QByteArray &body, int *status);
    static QByteArray fetch(QNetworkRequest req, const QByteArray &verb, const QByteArray &body, int *status);

    QTemporaryDir m_dir;
    QProcess m_server;
    QProcess m_host;
    QString m_serverUrl;
    QStringList m_serverArgs;
    QStringList m_hostArgs;
    QString m_hostDataDir;
    QProcessEnvironment m_hostEnv;
    QString m_deviceId;
    QString m_autoPasscode;
    quint16 m_controlPort = 0;
    QString m_token;
    QString m_hostSource = QStringLiteral("test");
};
