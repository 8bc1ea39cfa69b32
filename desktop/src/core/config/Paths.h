#pragma once

#include <QString>

// Where this product keeps things on Linux. Every platform path lives here.
namespace Paths {
// $XDG_CONFIG_HOME/velmo-remote (settings file).
QString configDir();
QString settingsFile();
// $XDG_DATA_HOME/velmo-remote: control.json, desktop.log, agent.log.
QString dataDir();
// ~/.config/systemd/user
QString systemdUserDir();
// ~/.config/autostart
QString autostartDir();
// ~/.local/lib/velmo-remote/resident-agent: the resident agent's copy, apart
// from any directory the application's own agent is installed in.
QString residentAgentDir();
// The directory of the running executable.
QString executableDir();
// The agent shipped with the application: <prefix>/lib/velmo-remote/agent, or
// the build tree's host/ directory when run from a build.
QString bundledAgentDir();
// The uninstaller script: <prefix>/share/velmo-remote/uninstall.sh, or beside the executable.
QString uninstallScript();
QString homeDir();
// Where file dialogs open: the user's pictures folder (XDG_PICTURES_DIR) for
// screenshots, the videos folder (XDG_VIDEOS_DIR) for recordings; the home folder
// when that folder does not exist.
QString picturesDir();
QString videosDir();
} // namespace Paths
