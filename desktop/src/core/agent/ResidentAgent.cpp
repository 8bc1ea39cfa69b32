#include "agent/ResidentAgent.h"

#include "config/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStringDecoder>

namespace ResidentAgent {

namespace {
bool isExecutableFile(const QString &path) {
    const QFileInfo fi(path);
    return fi.isFile() && fi.isExecutable();
}

QString exe(const QString &dir) {
    return dir + u'/' + QLatin1String(executableName);
}

// The canonical form of an existing directory, empty when it does not exist.
QString canonicalDir(const QString &dir) {
    return QFileInfo(dir).canonicalFilePath();
}

// Whether a directory is the one the application's own agent is installed in.
bool isApplicationsAgentDir(const QString &dir) {
    const QString c = canonicalDir(dir);
    return !c.isEmpty() && c == canonicalDir(Paths::bundledAgentDir());
}

// An installed resident executable in dir: executable, and not the application's own.
bool residentIn(const QString &dir) {
    return isExecutableFile(exe(dir)) && !isApplicationsAgentDir(dir);
}

// systemd's quoting for one ExecStart word.
QString quoteWord(const QString &word) {
    QString w = word;
    w.replace(u'\\', QStringLiteral("\\\\"));
    w.replace(u'"', QStringLiteral("\\\""));
    w.replace(u'%', QStringLiteral("%%"));
    w.replace(u'$', QStringLiteral("$$"));
    return u'"' + w + u'"';
}

QString escapePath(const QString &path) {
    QString p = path;
    p.replace(u'%', QStringLiteral("%%"));
    return p;
}
} // namespace

QString unitPath() {
    return Paths::systemdUserDir() + u'/' + QLatin1String(unitName);
}

QString installedDir() {
    return Paths::residentAgentDir();
}

QString binaryPath() {
    return exe(installedDir());
}

QStringList legacyDirs() {
    const QString home = Paths::homeDir();
    return {home + QStringLiteral("/.local/lib/velmo-remote-host"),
            home + QStringLiteral("/.local/lib/VelmoRemoteAgent"), Paths::dataDir() + QStringLiteral("/agent")};
}

std::optional<QString> bundledDir() {
    QStringList candidates;
    const QString over = qEnvironmentVariable("VELMO_AGENT_BUNDLE_DIR");
    if (!over.isEmpty())
        candidates << over;
    candidates << Paths::bundledAgentDir();
    // Installing removes the installed copy first: it can never be the source.
    const QString installedCanonical = canonicalDir(installedDir());
    for (const QString &dir : candidates)
        if (isExecutableFile(exe(dir)) && (installedCanonical.isEmpty() || canonicalDir(dir) != installedCanonical))
            return dir;
    return std::nullopt;
}

QStringList copyArguments(const QString &bundled, const QString &target) {
    return {QStringLiteral("-a"), exe(bundled), exe(target)};
}

bool installed() {
    if (residentIn(installedDir()))
        return true;
    for (const QString &dir : legacyDirs())
        if (residentIn(dir))
            return true;
    return false;
}

QString runBinaryPath() {
    if (residentIn(installedDir()))
        return binaryPath();
    for (const QString &dir : legacyDirs())
        if (residentIn(dir))
            return exe(dir);
    return binaryPath();
}

bool isResidentExecutable(const QString &exePath) {
    if (exePath.isEmpty())
        return false;
    // /proc/PID/exe is canonical; the home directory need not be (a symlinked $HOME).
    const QString canonicalExe = QFileInfo(exePath).canonicalFilePath();
    const QString path = canonicalExe.isEmpty() ? QDir::cleanPath(exePath) : canonicalExe;
    QStringList dirs{installedDir()};
    dirs << legacyDirs();
    for (const QString &dir : dirs) {
        if (isApplicationsAgentDir(dir))
            continue;
        const QString c = canonicalDir(dir);
        if (path.startsWith((c.isEmpty() ? QDir::cleanPath(dir) : c) + u'/'))
            return true;
    }
    return false;
}

QStringList programArguments(const QString &dataDir, const QString &server) {
    QStringList args{runBinaryPath(), QStringLiteral("--data"), dataDir};
    QString s = server;
    while (!s.isEmpty() && (s.front() == u' ' || s.front() == u'\t'))
        s.remove(0, 1);
    while (!s.isEmpty() && (s.back() == u' ' || s.back() == u'\t'))
        s.chop(1);
    if (!s.isEmpty())
        args << QStringLiteral("--server") << s;
    return args;
}

QString unitText(const QString &dataDir, const QString &server) {
    QStringList words;
    for (const QString &a : programArguments(dataDir, server))
        words << quoteWord(a);
    const QString logPath = escapePath(dataDir + QStringLiteral("/agent.log"));
    return QStringLiteral("[Unit]\n"
                          "Description=Velmo Remote agent (%1)\n"
                          "\n"
                          "[Service]\n"
                          "Type=simple\n"
                          "ExecStart=%2\n"
                          "Restart=always\n"
                          "RestartSec=2\n"
                          "StandardOutput=append:%3\n"
                          "StandardError=append:%3\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=default.target\n")
        .arg(QLatin1String(label), words.join(u' '), logPath);
}

QString systemctlProgram() {
    const QString over = qEnvironmentVariable("VELMO_SYSTEMCTL");
    return over.isEmpty() ? QStringLiteral("systemctl") : over;
}

ToolResult systemctl(const QStringList &args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(systemctlProgram(), QStringList{QStringLiteral("--user")} + args);
    if (!p.waitForStarted(5000))
        return {-1, p.errorString()};
    // A service manager that hangs must not hold the application for ever.
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(1000);
        return {-1, p.errorString()};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString out = decoder.decode(p.readAll());
    if (decoder.hasError())
        out.clear();
    if (p.exitStatus() != QProcess::NormalExit)
        return {-1, out};
    return {p.exitCode(), out};
}

bool writeUnit(const QString &dataDir, const QString &server) {
    QDir().mkpath(Paths::systemdUserDir());
    QSaveFile f(unitPath());
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(unitText(dataDir, server).toUtf8());
    return f.commit();
}

void wake() {
    const QString unit = QLatin1String(unitName);
    if (systemctl({QStringLiteral("is-active"), unit}).status != 0) {
        systemctl({QStringLiteral("daemon-reload")});
        systemctl({QStringLiteral("enable"), QStringLiteral("--now"), unit});
    } else {
        systemctl({QStringLiteral("restart"), unit});
    }
}

void enableFresh() {
    const QString unit = QLatin1String(unitName);
    systemctl({QStringLiteral("disable"), QStringLiteral("--now"), unit});
    systemctl({QStringLiteral("daemon-reload")});
    systemctl({QStringLiteral("enable"), QStringLiteral("--now"), unit});
}

std::optional<QString> clearInstallTarget() {
    const QString target = installedDir();
    const QString parentDir = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(parentDir))
        return QStringLiteral("フォルダ ") + parentDir + QStringLiteral(" を作れませんでした。");
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        const bool removed = QFileInfo(target).isDir() && !QFileInfo(target).isSymLink()
                                 ? QDir(target).removeRecursively()
                                 : QFile::remove(target);
        if (!removed)
            return target + QStringLiteral(" を消せませんでした。");
    }
    if (!QDir().mkpath(target))
        return QStringLiteral("フォルダ ") + target + QStringLiteral(" を作れませんでした。");
    return std::nullopt;
}

QStringList removeLegacyCopies() {
    QStringList removed;
    for (const QString &dir : legacyDirs()) {
        if (!QFileInfo::exists(dir))
            continue;
        QDir(dir).removeRecursively();
        removed << dir;
    }
    return removed;
}

} // namespace ResidentAgent
