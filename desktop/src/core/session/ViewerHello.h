#pragma once

#include <QJsonObject>
#include <QString>

// The viewer's introduction to the host (the "hello" record, protocol/ctrl/ViewerIntroduction)
// for this user and machine; a host that does not know the message ignores it.
namespace ViewerHello {
// The whole message for this user and machine. The icon is the user's ~/.face picture,
// made small, when there is one.
QJsonObject message();
// A data URL of the picture at `path` scaled to fit 48 × 48, or "" when it does not load
// or the result would exceed `maxChars`.
QString iconDataUrl(const QString &path, int maxChars = 16 * 1024);
} // namespace ViewerHello
