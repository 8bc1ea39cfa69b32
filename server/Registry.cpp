#include "Registry.h"

#include "PostgresRegistry.h"
#include "SqliteRegistry.h"

std::unique_ptr<Registry> Registry::open(const QString &location, QString *error) {
    if (location.startsWith(u"postgresql://") || location.startsWith(u"postgres://"))
        return PostgresRegistry::open(location, error);
    return SqliteRegistry::open(location, error);
}

bool Registry::isDeviceId(const QString &s) {
    if (s.size() != 9)
        return false;
    for (QChar c : s) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}
