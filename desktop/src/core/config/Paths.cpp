#include "config/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
QString xdg(const char *var, const QString &fallback) {
    const QString v = qEnvironmentVariable(var);
    // The XDG rules ignore relative paths.
    return (!v.isEmpty() && QDir::isAbsolutePath(v)) ? v : fallback;
}
} // namespace

namespace Paths {

QString homeDir() {
    return QDir::homePath();
}

namespace {
// QStandardPaths reads user-dirs.dirs; a folder named there but missing is no place to
// open a dialog in.
QString existingOrHome(QStandardPaths::StandardLocation location) {
    const QString dir = QStandardPaths::writableLocation(location);
    return !dir.isEmpty() && QFileInfo(dir).isDir() ? dir : homeDir();
}
} // namespace

QString picturesDir() {
    return existingOrHome(QStandardPaths::PicturesLocation);
}

QString videosDir() {
    return existingOrHome(QStandardPaths::MoviesLocation);
}

QString configDir() {
    return xdg("XDG_CONFIG_HOME", homeDir() + "/.config") + "/velmo-remote";
}

QString settingsFile() {
    return configDir() + "/settings.json";
}

QString dataDir() {
    return xdg("XDG_DATA_HOME", homeDir() + "/.local/share") + "/velmo-remote";
}

QString systemdUserDir() {
    return xdg("XDG_CONFIG_HOME", homeDir() + "/.config") + "/systemd/user";
}

QString autostartDir() {
    return xdg("XDG_CONFIG_HOME", homeDir() + "/.config") + "/autostart";
}

// Never lib/velmo-remote/agent: that is where an install into ~/.local puts the
// application's own agent.
QString residentAgentDir() {
    return homeDir() + "/.local/lib/velmo-remote/resident-agent";
}

QString executableDir() {
    const QString dir = QCoreApplication::applicationDirPath();
    return dir.isEmpty() ? QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() : dir;
}

QString bundledAgentDir() {
    const QDir exe(executableDir());
    const QString installed = QDir::cleanPath(exe.absoluteFilePath(QStringLiteral(VELMO_AGENT_FROM_BINDIR)));
    if (QFileInfo::exists(installed + "/velmo-remote-host"))
        return installed;
    // Build tree: build/desktop/src/app/velmo-remote and build/host/velmo-remote-host.
    const QString buildTree = QDir::cleanPath(exe.absoluteFilePath("../../../host"));
    if (QFileInfo::exists(buildTree + "/velmo-remote-host"))
        return buildTree;
    return installed;
}

QString uninstallScript() {
    const QDir exe(executableDir());
    const QString installed =
        QDir::cleanPath(exe.absoluteFilePath(QStringLiteral(VELMO_SHARE_FROM_BINDIR "/uninstall.sh")));
    if (QFileInfo::exists(installed))
        return installed;
    return exe.absoluteFilePath("uninstall.sh");
}

} // namespace Paths
