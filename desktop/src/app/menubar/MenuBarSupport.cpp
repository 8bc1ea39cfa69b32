#include "menubar/MenuBarSupport.h"

#include "config/Paths.h"
#include "util/StringUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcMenuBar, "velmo.menubar")

namespace {

// Quoting of the desktop entry's Exec key: reserved characters inside double quotes.
QString quoteExec(const QString &path) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needs = false;
    for (QChar c : path)
        needs = needs || reserved.contains(c);
    if (!needs)
        return path;
    QString quoted = QStringLiteral("\"");
    for (QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    // The Exec value is a string value too, whose backslashes are escaped once more.
    return quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
}

} // namespace

namespace MenuBarSupport {

QString formatId(const QString &id) {
    return formattedId(id);
}

QString loginItemPath() {
    return Paths::autostartDir() + QStringLiteral("/velmo-remote.desktop");
}

bool loginItemEnabled() {
    QFile f(loginItemPath());
    if (!f.open(QIODevice::ReadOnly))
        return false;
    // A user may switch the entry off in their session settings instead of deleting it.
    const QByteArray body = f.read(64 * 1024);
    for (const QByteArray &raw : body.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return body.contains("[Desktop Entry]");
}

bool setLoginItem(bool on) {
    const QString path = loginItemPath();
    if (on) {
        if (!QDir().mkpath(Paths::autostartDir())) {
            qCWarning(lcMenuBar).noquote() << "login item: cannot create" << Paths::autostartDir();
            return loginItemEnabled();
        }
        QSaveFile f(path);
        QString exe = QCoreApplication::applicationFilePath();
        if (exe.isEmpty())
            exe = QStringLiteral("velmo-remote");
        const QString entry = QStringLiteral("[Desktop Entry]\n"
                                             "Type=Application\n"
                                             "Name=Velmo Remote\n"
                                             "Exec=%1\n"
                                             "Icon=velmo-remote\n"
                                             "Terminal=false\n"
                                             "X-GNOME-Autostart-enabled=true\n")
                                  .arg(quoteExec(exe));
        if (!f.open(QIODevice::WriteOnly) || f.write(entry.toUtf8()) < 0 || !f.commit())
            qCWarning(lcMenuBar).noquote() << "login item:" << f.errorString();
    } else if (QFile::exists(path) && !QFile::remove(path)) {
        qCWarning(lcMenuBar).noquote() << "login item: cannot remove" << path;
    }
    return loginItemEnabled();
}

} // namespace MenuBarSupport
