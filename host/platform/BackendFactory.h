#pragma once

#include "platform/DesktopSession.h"

#include <QString>

#include <memory>

class DesktopBackend;

// The one place that knows the platform back ends: which set fits the session the agent
// runs in, and making it. Adding a platform means a folder under platform/, a case here
// and the build; nothing else names the concrete classes.
namespace BackendFactory {

struct Choice {
    QString name;    // the back end ("x11", …); "" when none fits
    QString problem; // why none fits (for the log, the status and the notice picture)
};

// Decides from the session's facts and the owner's choice alone (no connection is made).
// `unattended`: the owner allows sharing without anyone at the machine (no dialog), which
// on GNOME means Mutter's own remote desktop instead of the portal.
Choice choose(const DesktopSession &session, bool unattended);
// The chosen set; null for an empty choice. `dataDir` keeps what a back end carries over to
// the next start (the portal's restore token).
std::unique_ptr<DesktopBackend> create(const Choice &choice, const QString &dataDir);

} // namespace BackendFactory
