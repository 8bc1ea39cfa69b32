#pragma once

#include "protocol/Error.h"

#include <QString>

// The errors of the agent's control API, in the shared Error shape. `http` and
// `notReady` are the API's own cases; `transport` carries the network layer's
// own text (connection refused, time-out), passed on unchanged.
namespace ControlError {

// The agent's trimmed UTF-8 body, or a fixed text naming the status when empty.
Error http(int code, const QString &body);
Error notReady();
Error transport(const QString &text);

} // namespace ControlError
