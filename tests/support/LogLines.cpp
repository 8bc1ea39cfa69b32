#include "support/LogLines.h"

bool hasLine(const QStringList &lines, const QString &text) {
    for (const QString &l : lines)
        if (l.contains(text))
            return true;
    return false;
}
