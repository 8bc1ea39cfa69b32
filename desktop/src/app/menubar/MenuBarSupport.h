#pragma once

#include <QString>

// Small helpers of the tray item.
namespace MenuBarSupport {
// Nine characters as "123 456 789"; anything else unchanged.
QString formatId(const QString &id);
// Writes or removes the XDG autostart entry; returns whether it is now enabled.
// A failure only goes to the log.
bool setLoginItem(bool on);
// Whether an enabled autostart entry of this application exists.
bool loginItemEnabled();
// The entry's path: ~/.config/autostart/velmo-remote.desktop.
QString loginItemPath();
} // namespace MenuBarSupport
