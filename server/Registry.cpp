#include "Registry.h"

#include "PostgresRegistry.h"
#include "SqliteRegistry.h"

namespace {
template <typename R> Result<std::unique_ptr<Registry>> asRegistry(Result<std::unique_ptr<R>> opened) {
    if (!opened.ok())
        return Result<std::unique_ptr<Registry>>::failure(opened.error);
    return Result<std::unique_ptr<Registry>>::success(std::move(*opened.value));
}
} // namespace

Result<std::unique_ptr<Registry>> Registry::open(const QString &location) {
    if (location.startsWith(u"postgresql://") || location.startsWith(u"postgres://"))
        return asRegistry(PostgresRegistry::open(location));
    return asRegistry(SqliteRegistry::open(location));
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
