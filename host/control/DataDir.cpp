#include "control/DataDir.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DataDir::Done refused(const QString &text) {
    return DataDir::Done::failure(Error::make(Error::Kind::Unavailable, text));
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

DataDir::Done DataDir::ensure(const QString &dir) {
    const QByteArray path = QFile::encodeName(dir);
    const QString parent = QFileInfo(dir).absolutePath();
    if (!QDir().mkpath(parent))
        return refused(QStringLiteral("cannot make %1").arg(parent));
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return refused(QStringLiteral("cannot make %1: %2").arg(dir, errnoText()));
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return refused(QStringLiteral("%1 is not a directory").arg(dir));
    if (st.st_uid != ::geteuid())
        return refused(QStringLiteral("the data directory %1 belongs to another user").arg(dir));
    if ((st.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0)
        return refused(QStringLiteral("cannot make %1 private: %2").arg(dir, errnoText()));
    return Done::success({});
}

DataDir::Done DataDir::writePrivate(const QString &path, const QByteArray &bytes) {
    const QByteArray target = QFile::encodeName(path);
    // A fresh name that no one can have prepared: O_EXCL refuses anything already
    // there, symbolic links included, and O_NOFOLLOW says so once more.
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temp = target + ".tmp-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return refused(QStringLiteral("cannot write %1: %2").arg(path, errnoText()));
    qsizetype done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += n > 0 ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    // rename() replaces a symbolic link at `path` itself, never the file it points to.
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        const QString text = QStringLiteral("cannot write %1: %2").arg(path, errnoText());
        ::unlink(temp.constData());
        return refused(text);
    }
    return Done::success({});
}

Result<std::optional<QByteArray>> DataDir::readPrivate(const QString &path, qint64 maxBytes) {
    using Read = Result<std::optional<QByteArray>>;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return Read::success(std::nullopt);
        return Read::failure(Error::make(Error::Kind::Unavailable,
                                         errno == ELOOP ? QStringLiteral("%1 is a symbolic link; refused").arg(path)
                                                        : QStringLiteral("cannot read %1: %2").arg(path, errnoText())));
    }
    struct stat st {};
    QString refusal;
    if (::fstat(fd, &st) != 0)
        refusal = QStringLiteral("cannot read %1: %2").arg(path, errnoText());
    else if (!S_ISREG(st.st_mode))
        refusal = QStringLiteral("%1 is not a regular file; refused").arg(path);
    else if (st.st_uid != ::geteuid())
        refusal = QStringLiteral("%1 belongs to another user; refused").arg(path);
    else if ((st.st_mode & 077) != 0)
        refusal = QStringLiteral("%1 may be read or written by other users (mode %2); refused")
                      .arg(path, QString::number(st.st_mode & 0777, 8));
    if (!refusal.isEmpty()) {
        ::close(fd);
        return Read::failure(Error::make(Error::Kind::Unavailable, refusal));
    }
    QByteArray out(qMin<qint64>(maxBytes, qMax<qint64>(st.st_size, 0)), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, size_t(out.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    out.truncate(done);
    return Read::success(std::move(out));
}
