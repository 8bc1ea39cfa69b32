#pragma once

#include <QProcess>
#include <QString>

#include <memory>
#include <optional>

// Starting velmo-remote-host as a child of this application.
namespace AgentLauncher {

// The agent to spawn: $VELMO_RMAGENT, else the bundled copy, else one beside
// this executable; nullopt when none is an executable file.
std::optional<QString> findExecutable();

// A process (not started) for the agent with its data directory and server. It
// lives only as long as this application: if the application is killed or
// loses its display, the kernel ends the agent too.
std::unique_ptr<QProcess> makeProcess(const QString &executable, const QString &dataDir, const QString &server);

} // namespace AgentLauncher
