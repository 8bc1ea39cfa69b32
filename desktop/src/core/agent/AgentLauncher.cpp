#include "agent/AgentLauncher.h"

#include "agent/ResidentAgent.h"
#include "config/Paths.h"

#include <QFileInfo>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace AgentLauncher {

std::optional<QString> findExecutable() {
    auto executable = [](const QString &path) {
        const QFileInfo fi(path);
        return !path.isEmpty() && fi.isFile() && fi.isExecutable();
    };
    const QString env = qEnvironmentVariable("VELMO_RMAGENT");
    if (executable(env))
        return QFileInfo(env).absoluteFilePath();
    const QString name = QLatin1String(ResidentAgent::executableName);
    if (const std::optional<QString> bundled = ResidentAgent::bundledDir();
        bundled && executable(*bundled + u'/' + name))
        return *bundled + u'/' + name;
    const QString beside = Paths::executableDir() + u'/' + name;
    if (executable(beside))
        return beside;
    return std::nullopt;
}

std::unique_ptr<QProcess> makeProcess(const QString &executable, const QString &dataDir, const QString &server) {
    auto process = std::make_unique<QProcess>();
    process->setProgram(executable);
    process->setArguments({QStringLiteral("--data"), dataDir, QStringLiteral("--server"), server});
    process->setWorkingDirectory(dataDir);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // Runs in the child between fork and exec.
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::raise(SIGTERM); // the application died before the request took hold
    });
    return process;
}

} // namespace AgentLauncher
