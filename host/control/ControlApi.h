#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class HostState;
class HttpServer;
class TestHooks;
class HttpResponder;
struct HttpRequest;

// The agent's control API: HTTP on 127.0.0.1 behind a bearer token, announced
// through control.json in the data directory. "status" answers the state as
// JSON; "events" streams it as server-sent events at connect and on every
// change; the commands change HostState. With test hooks, "test/..." endpoints
// (TestHooks) let tests inject state and misbehaviour.
class ControlApi : public QObject {
    Q_OBJECT
public:
    // Open connections to the API at most (event streams included).
    static constexpr int maxConnections = 256;

    ControlApi(HostState *state, const QString &dataDir, bool testHooks, QObject *parent = nullptr);
    ~ControlApi() override;

    // Listens on a free port and writes control.json. false when it cannot listen.
    bool start();
    // Listens on a new port with a new token and rewrites control.json; open
    // connections and event streams of the old listener are dropped.
    bool restart();
    // Removes control.json when it is still ours.
    void removeControlJson();

    quint16 port() const;
    QString token() const { return m_token; }
    QString controlJsonPath() const;

Q_SIGNALS:
    // "quit" was asked for.
    void quitRequested();

private:
    void handle(const HttpRequest &req, HttpResponder *r);
    void handleCommand(const QString &path, const QJsonObject &body, HttpResponder *r);
    // handleCommand()'s groups; each answers and returns true when the path is one of its own.
    bool settingCommand(const QString &path, const QJsonObject &body, HttpResponder *r);
    bool accessCommand(const QString &path, const QJsonObject &body, HttpResponder *r);
    bool sessionCommand(const QString &path, const QJsonObject &body, HttpResponder *r);
    bool agentCommand(const QString &path, HttpResponder *r);
    bool writeControlJson();
    void scheduleBroadcast();
    void broadcast();
    void sendPing();
    QByteArray statusJson() const;

    HostState *m_state;
    QString m_dataDir;
    std::unique_ptr<HttpServer> m_server;
    QString m_token;
    QList<QPointer<HttpResponder>> m_streams;
    QTimer m_broadcastTimer;
    QTimer m_pingTimer;
    std::unique_ptr<TestHooks> m_hooks; // null without test hooks
};
