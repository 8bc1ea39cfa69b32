#include "device/DeviceHooks.h"

#include <QStringList>

DeviceHooks DeviceHooks::parse(const QString &list) {
    DeviceHooks h;
    for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = item.trimmed();
        if (name == QLatin1String("wrong_fp"))
            h.wrongFingerprint = true;
        else if (name == QLatin1String("bad_chunks"))
            h.badChunks = true;
        else if (name == QLatin1String("file"))
            h.fileTransfer = true;
        else if (name == QLatin1String("input_log"))
            h.inputLog = true;
        else if (name == QLatin1String("short_lock"))
            h.shortLock = true;
        else if (name == QLatin1String("close_side"))
            h.closeSide = true;
        else if (name == QLatin1String("fixed_rate"))
            h.fixedRate = true;
    }
    return h;
}
