#pragma once

#include <QObject>

// Finds, starts, watches and stops the local agent.
class AgentController : public QObject {
    Q_OBJECT
public:
    explicit AgentController(QObject *parent = nullptr);
    static AgentController *shared();

    void start(const QString &server);
    // Stops an agent this application spawned; blocks at most ~3 s.
    void terminateAgentSync();
};
