#pragma once

#include <QString>

#include <optional>

// Secret Service items with attributes service = "com.tarnwick.velmoremote.desktop"
// and account = key. Every failure is silent: get() yields nothing, set() does nothing.
namespace Keychain {
inline constexpr const char *service = "com.tarnwick.velmoremote.desktop";
std::optional<QString> get(const QString &key);
// Deletes the item, then stores the value unless it is empty.
void set(const QString &key, const QString &value);
} // namespace Keychain
