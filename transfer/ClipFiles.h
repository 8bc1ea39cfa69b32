#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Files copied on one end, announced to the other as one "clipfiles" control message
// with their names and sizes only:
//   {"t": "clipfiles", "id": N, "files": [{"name": "a.pdf", "size": 1234}, …]}
// The content follows only when the other end pastes: it asks for each file on the
// "file" channel (FileTransfers::fetch), naming `id` and the file's index. A list
// holds regular files only (folders are left out), at most maxFiles of them and
// maxTotalBytes together; a longer or larger one is not announced at all, so the
// receiver never gets part of a copy without knowing. Names are cleaned like every
// received file name (SafeFileName), so a hostile name cannot point anywhere.
class ClipFiles {
public:
    static constexpr QLatin1StringView tag{"clipfiles"};
    static constexpr QLatin1StringView uriListType{"text/uri-list"};
    static constexpr QLatin1StringView gnomeType{"x-special/gnome-copied-files"};
    static constexpr int maxFiles = 64;
    static constexpr qint64 maxTotalBytes = qint64(2) * 1024 * 1024 * 1024;

    struct Entry {
        QString name;
        qint64 size = 0;
        bool operator==(const Entry &) const = default;
    };

    quint32 id = 0;
    QList<Entry> files;

    qint64 totalBytes() const;
    QJsonObject toJson() const;
    // nullopt for a message of another tag, a bad id, type or size, an empty list, or
    // one over the bounds.
    static std::optional<ClipFiles> fromJson(const QJsonObject &message);

    enum class Outcome { Ok, NoFiles, TooMany, TooLarge };
    // The announcement of these local files: folders, links to nowhere and anything but
    // a regular file are left out (*skipped counts them).
    static Outcome describe(const QStringList &paths, quint32 id, ClipFiles *out, QStringList *kept,
                            int *skipped = nullptr);

    // The local paths in a text/uri-list (CRLF or LF lines, "#" comments) or in
    // x-special/gnome-copied-files ("copy" or "cut" first); only file: URLs of this
    // computer (no host, or "localhost") count, at most maxFiles * 4 lines are looked at.
    static QStringList localPaths(const QByteArray &data);
    // Paths as a text/uri-list and as x-special/gnome-copied-files.
    static QByteArray uriList(const QStringList &paths);
    static QByteArray gnomeCopiedFiles(const QStringList &paths);
};
