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

// Decides from the session's facts alone (no connection is made).
Choice choose(const DesktopSession &session);
// The chosen set; null for an empty choice.
std::unique_ptr<DesktopBackend> create(const Choice &choice);

} // namespace BackendFactory
