#include "agent/AgentProcessInfo.h"

#include "agent/ResidentAgent.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>

namespace AgentProcessInfo {

bool exists(qint64 pid) {
    if (pid < 1 || pid > 0x7fffffff)
        return false;
    // EPERM means it exists but belongs to someone else.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

QString executablePath(qint64 pid) {
    if (pid < 1 || pid > 0x7fffffff)
        return {};
    QString target = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

QString processName(qint64 pid) {
    return QFileInfo(executablePath(pid)).fileName();
}

bool isOurAgent(qint64 pid) {
    const QString name = processName(pid);
    return !name.isEmpty() && name == QLatin1String(ResidentAgent::executableName);
}

bool isResidentAgent(qint64 pid) {
    return ResidentAgent::isResidentExecutable(executablePath(pid));
}

} // namespace AgentProcessInfo
