#pragma once

#include "agent/AgentController.h"
#include "support/HostProcess.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>

// A velmo-remote-host with its test hooks and an AgentController riding along
// with it, for the host-side window tests. Create after the QApplication, with
// a TestEnv in place.
class HostUiHarness {
public:
    explicit HostUiHarness(const QString &dataDir);
    ~HostUiHarness();

    // The agent answers and the supervisor holds its first status.
    bool ok() const { return m_ok; }
    HostProcess &host() { return *m_host; }
    AgentController *agent() const { return m_agent.get(); }

    // Test hooks; each returns once the supervisor has seen the change.
    QString addAsk(const QString &name, const QString &ip = {}, const QString &sid = {});
    bool removeAsk(const QString &sid);
    QString addSession(const QJsonObject &fields);
    bool removeSession(const QString &sid);
    bool hook(const QString &path, const QJsonObject &body = {});

    // The commands the agent received, oldest first, as {method, path, body}.
    QList<QJsonObject> commands() const;
    // Bodies of the commands to `path`.
    QList<QJsonObject> bodies(const QString &path) const;

    // Runs the event loop until `done` holds or `ms` pass.
    static bool waitFor(const std::function<bool()> &done, int ms = 5000);

private:
    bool statusHas(const std::function<bool(const ControlStatus &)> &pred) const;

    std::unique_ptr<HostProcess> m_host;
    std::unique_ptr<AgentController> m_agent;
    bool m_ok = false;
};
