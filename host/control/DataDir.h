#pragma once

#include "protocol/Result.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <variant>

// The agent's data directory holds secrets (the device secret, the control token), so
// it is kept private: the directory is 0700, files are written to a new private
// temporary file (never opened through a symbolic link) that is then renamed into
// place, and a file is only trusted when it is a regular file of this user that no one
// else may read or write.
class DataDir {
public:
    using Done = Result<std::monostate>;

    // Makes the directory (0700), or tightens one of ours that others may enter. Fails
    // when it is not ours or cannot be made.
    static Done ensure(const QString &dir);
    // Replaces `path` with `bytes` (mode 0600).
    static Done writePrivate(const QString &path, const QByteArray &bytes);
    // The file's bytes (at most `maxBytes`); none when there is no such file. Fails when
    // the file is refused or unreadable.
    static Result<std::optional<QByteArray>> readPrivate(const QString &path, qint64 maxBytes);
};
