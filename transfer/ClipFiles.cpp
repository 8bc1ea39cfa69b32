#include "transfer/ClipFiles.h"

#include "transfer/SafeFileName.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QUrl>

#include <cmath>

qint64 ClipFiles::totalBytes() const {
    qint64 total = 0;
    for (const Entry &e : files)
        total += e.size;
    return total;
}

QJsonObject ClipFiles::toJson() const {
    QJsonArray list;
    for (const Entry &e : files)
        list.append(QJsonObject{{"name", e.name}, {"size", e.size}});
    return QJsonObject{{"t", tag}, {"id", qint64(id)}, {"files", list}};
}

std::optional<ClipFiles> ClipFiles::fromJson(const QJsonObject &message) {
    if (message.value(QLatin1String("t")).toString() != tag)
        return std::nullopt;
    const double id = message.value(QLatin1String("id")).toDouble(-1);
    if (!std::isfinite(id) || id != std::floor(id) || id < 1 || id > 4294967295.0)
        return std::nullopt;
    const QJsonValue list = message.value(QLatin1String("files"));
    if (!list.isArray() || list.toArray().isEmpty() || list.toArray().size() > maxFiles)
        return std::nullopt;
    ClipFiles out;
    out.id = quint32(id);
    qint64 total = 0;
    for (const QJsonValue &v : list.toArray()) {
        const QJsonValue name = v.toObject().value(QLatin1String("name"));
        const double size = v.toObject().value(QLatin1String("size")).toDouble(-1);
        if (!name.isString() || !std::isfinite(size) || size < 0 || size != std::floor(size) ||
            size > double(maxTotalBytes))
            return std::nullopt;
        total += qint64(size);
        if (total > maxTotalBytes)
            return std::nullopt;
        out.files.append({SafeFileName::clean(name.toString().left(4096)), qint64(size)});
    }
    return out;
}

ClipFiles::Outcome ClipFiles::describe(const QStringList &paths, quint32 id, ClipFiles *out, QStringList *kept,
                                       int *skipped) {
    ClipFiles list;
    list.id = id;
    QStringList regular;
    int left = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        // A link is followed here; the sender opens the file itself without following one
        // more (SendableFile), so the link's target is what goes.
        if (!info.isAbsolute() || !info.isFile()) {
            ++left;
            continue;
        }
        regular.append(info.canonicalFilePath().isEmpty() ? info.absoluteFilePath() : info.canonicalFilePath());
        list.files.append({SafeFileName::clean(info.fileName()), info.size()});
    }
    if (skipped)
        *skipped = left;
    if (list.files.isEmpty())
        return Outcome::NoFiles;
    if (list.files.size() > maxFiles)
        return Outcome::TooMany;
    if (list.totalBytes() > maxTotalBytes)
        return Outcome::TooLarge;
    if (out)
        *out = list;
    if (kept)
        *kept = regular;
    return Outcome::Ok;
}

QStringList ClipFiles::localPaths(const QByteArray &data) {
    QStringList out;
    const QList<QByteArray> lines = data.split('\n');
    int looked = 0;
    for (QByteArray line : lines) {
        if (++looked > maxFiles * 4)
            break;
        line = line.trimmed(); // CR of CRLF, stray spaces
        if (line.isEmpty() || line.startsWith('#') || line == "copy" || line == "cut")
            continue;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("file"))
            continue;
        if (!url.host().isEmpty() && url.host() != QLatin1String("localhost"))
            continue;
        QUrl local = url;
        local.setHost(QString());
        const QString path = local.toLocalFile();
        if (path.startsWith(QLatin1Char('/')) && !path.contains(QChar(0)))
            out.append(path);
    }
    return out;
}

QByteArray ClipFiles::uriList(const QStringList &paths) {
    QByteArray out;
    for (const QString &p : paths)
        out += QUrl::fromLocalFile(p).toEncoded() + "\r\n";
    return out;
}

QByteArray ClipFiles::gnomeCopiedFiles(const QStringList &paths) {
    QByteArray out = "copy";
    for (const QString &p : paths)
        out += "\n" + QUrl::fromLocalFile(p).toEncoded();
    return out;
}
