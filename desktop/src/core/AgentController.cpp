#include "AgentController.h"

AgentController::AgentController(QObject *parent) : QObject(parent) {}

AgentController *AgentController::shared() {
    static AgentController *const instance = new AgentController;
    return instance;
}

void AgentController::start(const QString &) {}

void AgentController::terminateAgentSync() {}
