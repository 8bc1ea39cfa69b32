#pragma once

#include <atomic>

typedef struct _XDisplay Display;

// The agent's one place for Xlib's process-wide error handlers. Xlib's defaults end the
// whole process on a protocol error (a window that vanished before its answer, a display
// that changed under a request) or on a lost server; every X11 part of the agent (capture,
// input, clipboard) installs these instead. A protocol error is logged and remembered for
// the connection it happened on, so that the request's caller can ask; a lost server only
// marks that connection as lost. Any thread.
namespace X11ErrorTrap {
// Installs the handlers once for the process; later calls do nothing.
void install();
// The code of the last protocol error on `dpy` since the previous call, or 0.
int take(Display *dpy);
// Drops what is remembered for `dpy` (before it is closed: a later connection may get
// the same address).
void forget(Display *dpy);
// `lost` turns true when the connection `dpy` breaks; the process goes on.
void watchLoss(Display *dpy, std::atomic<bool> *lost);
} // namespace X11ErrorTrap
