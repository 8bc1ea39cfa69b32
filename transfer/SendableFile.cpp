#include "transfer/SendableFile.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {
// File systems whose files are made up by the kernel as they are read.
bool pseudoFileSystem(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (fs.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
        return true;
    default:
        return false;
    }
}
} // namespace

int SendableFile::open(const QString &path, QString *why) {
    auto fail = [why](const QString &text, int fd = -1) {
        if (fd >= 0)
            ::close(fd);
        if (why)
            *why = text;
        return -1;
    };
    if (path.isEmpty() || !path.startsWith(u'/'))
        return fail(QStringLiteral("ファイルの場所は / から始まる絶対パスで指定してください"));
    // O_NONBLOCK: a FIFO or a device must not hold the agent up here; it is refused below.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case ELOOP:
            return fail(QStringLiteral("シンボリックリンクは送れません(リンク先のファイルを指定してください)"));
        case ENOENT:
        case ENOTDIR:
            return fail(QStringLiteral("ファイルが見つかりません"));
        case EACCES:
        case EPERM:
            return fail(QStringLiteral("ファイルを読む権限がありません"));
        default:
            return fail(QStringLiteral("ファイルを開けません"));
        }
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(QStringLiteral("ファイルを開けません"), fd);
    if (S_ISDIR(st.st_mode))
        return fail(QStringLiteral("フォルダは送れません"), fd);
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("通常のファイルではないため送れません(デバイスやパイプなど)"), fd);
    if (pseudoFileSystem(fd))
        return fail(QStringLiteral("/proc や /sys のようなシステムの仮想ファイルは送れません"), fd);
    // Reads block as usual from here on.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(QStringLiteral("ファイルを開けません"), fd);
    return fd;
}
