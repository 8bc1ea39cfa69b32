#include "session/ViewerHello.h"

#include "protocol/ctrl/ViewerIntroduction.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

namespace ViewerHello {

QString iconDataUrl(const QString &path, int maxChars) {
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > 4 * 1024 * 1024)
        return {};
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 4096 || size.height() > 4096)
        return {};
    QImage image = reader.read();
    if (image.isNull())
        return {};
    image = image.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return {};
    const QString url = QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
    return url.size() <= maxChars ? url : QString();
}

QJsonObject message() {
    QString user;
    if (const passwd *pw = getpwuid(getuid()))
        user = QString::fromLocal8Bit(pw->pw_name);
    if (user.isEmpty())
        user = qEnvironmentVariable("USER");
    ViewerIntroduction hello;
    hello.user = user;
    hello.machine = QSysInfo::machineHostName();
    hello.os = QSysInfo::prettyProductName();
    hello.app = QStringLiteral("Velmo Remote");
    hello.ver = QStringLiteral(VELMO_VERSION);
    hello.icon = iconDataUrl(QDir::home().filePath(QStringLiteral(".face")), ViewerIntroduction::maxIconChars);
    return hello.toJson();
}

} // namespace ViewerHello
