#pragma once

#include <QString>

// What kind of desktop session the agent runs in, for the status's `displayServer`:
//   "x11"       an X server in DISPLAY answers and no Wayland compositor is around;
//   "xwayland"  a Wayland session whose X server (Xwayland) answers: only X11 windows
//               can be captured there;
//   "wayland"   a Wayland session without a usable X display: nothing can be shared
//               until the portal back end exists;
//   "none"      neither.
// Opening the display may wait on a remote X server: call it off the main thread.
namespace DisplaySession {
QString detect();
}
