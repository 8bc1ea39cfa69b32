#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Where the resident agent lives and how the systemd user service that runs it
// is addressed. Every location is computed from the current home directory each
// time it is read.
//
//   installed copy   ~/.local/lib/velmo-remote/resident-agent/velmo-remote-host
//   user unit        $XDG_CONFIG_HOME/systemd/user/velmo-remote-agent.service
//   old locations    ~/.local/lib/velmo-remote-host/, ~/.local/lib/VelmoRemoteAgent/,
//                    <data dir>/agent/  (each holding velmo-remote-host)
//   bundled copy     Paths::bundledAgentDir() (or $VELMO_AGENT_BUNDLE_DIR)
// The application's own agent is never taken for a resident one, even when an
// odd prefix puts it in one of the directories above.
namespace ResidentAgent {

// The stable label of the service (also in the unit's description).
inline constexpr char label[] = "com.tarnwick.velmo-remote.agent";
inline constexpr char unitName[] = "velmo-remote-agent.service";
inline constexpr char executableName[] = "velmo-remote-host";

QString unitPath();
// The installed copy's directory and executable.
QString installedDir();
QString binaryPath();
// Old installation directories, in order.
QStringList legacyDirs();
// The agent copy shipped with this application: the first that holds an
// executable velmo-remote-host and is not the installed copy's directory;
// nullopt when none does.
std::optional<QString> bundledDir();
// cp arguments that install the agent of a bundled directory into `target` (an
// existing directory): the executable alone, whatever else a build tree holds.
QStringList copyArguments(const QString &bundled, const QString &target);

// binaryPath or an old location's executable is an executable file.
bool installed();
// binaryPath when executable, else the first executable old one, else binaryPath.
QString runBinaryPath();
// Whether an executable path belongs to a resident installation (new or old);
// both sides compared as canonical paths.
bool isResidentExecutable(const QString &exePath);

// The unit's text: ExecStart = runBinaryPath --data DATADIR [--server SERVER]
// (server trimmed of spaces and tabs; left out when blank), Restart=always,
// both output streams appended to DATADIR/agent.log, wanted by default.target.
QString unitText(const QString &dataDir, const QString &server);
// The ExecStart arguments the unit carries.
QStringList programArguments(const QString &dataDir, const QString &server);

struct ToolResult {
    int status = -1; // exit status; -1 when the tool could not run
    QString output;  // standard output and error together
};
// Runs "systemctl --user ARGS" ($VELMO_SYSTEMCTL when set), synchronously.
ToolResult systemctl(const QStringList &args);
QString systemctlProgram();

// Writes the user unit for this data directory and server; false when it cannot.
bool writeUnit(const QString &dataDir, const QString &server);
// Starts the service (reloading and enabling it first) or restarts it when active.
void wake();
// Disables, reloads and enables the service again after a new copy was put in place.
void enableFresh();
// Makes room for a new installed copy: removes an old copy and creates the
// directory afresh.
// The user-facing reason when that fails.
std::optional<QString> clearInstallTarget();

// Deletes the copies in the old locations; the directories it removed.
QStringList removeLegacyCopies();

} // namespace ResidentAgent
