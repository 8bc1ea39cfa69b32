#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The agent's data directory holds secrets (the device secret, the control token), so
// it is kept private: the directory is 0700, files are written to a new private
// temporary file (never opened through a symbolic link) that is then renamed into
// place, and a file is only trusted when it is a regular file of this user that no one
// else may read or write.
class DataDir {
public:
    // Makes the directory (0700), or tightens one of ours that others may enter. False
    // with `error` set when it is not ours or cannot be made.
    static bool ensure(const QString &dir, QString *error);
    // Replaces `path` with `bytes` (mode 0600).
    static bool writePrivate(const QString &path, const QByteArray &bytes, QString *error);
    // The file's bytes (at most `maxBytes`). nullopt with `error` empty when there is no
    // such file; nullopt with `error` set when the file is refused or unreadable.
    static std::optional<QByteArray> readPrivate(const QString &path, qint64 maxBytes, QString *error);
};
