#pragma once

#include <QString>

// Opens a file of this computer for sending, and only what can sensibly be sent: a
// regular file reached without a symbolic link as its last component (O_NOFOLLOW), not
// a pseudo-file of the kernel (/proc, /sys and the like: their sizes say nothing and
// reading some of them has effects), opened read-only without waiting on a FIFO or
// device. The checks are made on the opened descriptor, so the path cannot be swapped
// between the check and the read.
class SendableFile {
public:
    // A descriptor (the caller closes it), or -1 and *why (Japanese, for the user).
    static int open(const QString &path, QString *why);
};
