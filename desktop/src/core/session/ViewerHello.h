#pragma once

#include <QJsonObject>
#include <QString>

// The viewer's introduction to the host, sent on "ctrl" right after the passcode proof:
// {"t": "hello", "user", "machine", "os", "app", "ver", "icon"?}. The host shows it to
// its user (the approval prompt, the notice bar, the profile windows); a host that does
// not know the message ignores it.
namespace ViewerHello {
// The whole message for this user and machine. The icon is the user's ~/.face picture,
// made small, when there is one.
QJsonObject message();
// A data URL of the picture at `path` scaled to fit 48 × 48, or "" when it does not load
// or the result would exceed `maxChars`.
QString iconDataUrl(const QString &path, int maxChars = 16 * 1024);
} // namespace ViewerHello
