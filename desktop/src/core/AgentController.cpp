#include "AgentController.h"

#include "Paths.h"
#include "ResidentAgent.h"

// Bodies land in the next commit; the interface is final.
class AgentController::EventLoop {};
struct AgentController::Launch {};

AgentController::AgentController(QObject *parent)
    : QObject(parent), m_residentInstalled(ResidentAgent::installed()), m_message(QStringLiteral("エージェント未起動")),
      m_dataDir(Paths::dataDir()) {}

AgentController::~AgentController() = default;

AgentController *AgentController::shared() {
    static AgentController *const instance = new AgentController;
    return instance;
}

void AgentController::start(const QString &) {}
void AgentController::stop() {}
void AgentController::terminateAgentSync() {}
void AgentController::refresh(QObject *, Done) {}
void AgentController::command(const QString &, const QJsonObject &, QObject *, Done) {}
void AgentController::setQuality(int, double, int, QObject *, Done) {}
void AgentController::setAudio(bool, const QString &, QObject *, Done) {}
void AgentController::answerAsk(const QString &, bool, QObject *, Done) {}
void AgentController::addController(const QString &, const QString &, QObject *, Done) {}
void AgentController::removeController(const QString &, QObject *, Done) {}
void AgentController::acceptEula(QObject *, Done) {}
void AgentController::setSharing(bool, QObject *, Done) {}
void AgentController::setNoticeBar(bool, QObject *, Done) {}
void AgentController::rotatePasscode(QObject *, Done) {}
void AgentController::setFixedPasscode(const QString &, QObject *, Done) {}
void AgentController::setPasscodeMode(const QString &, QObject *, Done) {}
void AgentController::setName(const QString &, QObject *, Done) {}
void AgentController::disconnectSession(const QString &, QObject *, Done) {}
void AgentController::setPermissions(const QString &, bool, bool, bool, QObject *, Done) {}
void AgentController::requestScreenPermission(QObject *, Done) {}
void AgentController::requestInputPermission(QObject *, Done) {}
void AgentController::reloadAfterScreenPermission(QObject *, Done) {}
void AgentController::startResident() {}
void AgentController::writeResidentUnit() {}
void AgentController::installResident(bool, QObject *, Done) {}
void AgentController::log(const QString &) {}
void AgentController::rotateLogIfBig() {}
