#pragma once

#include <QString>

class DevicePeers;
class RemoteSession;
class WaylandEventWindow;

// Copied files both ways between the app's viewer (this process's clipboard, through
// ClipboardSync) and a window on the host's Wayland desktop: a file the window copies is
// offered to the viewer and fetched byte for byte when pasted here; a file copied here is
// pasted by the window as text/uri-list naming the agent's own fetched copy; once the
// session ends, the desktop no longer offers it. `session` is connected to the agent of
// `peers`, the last session in its status; it is given the `clip` and `files` rights, and
// the window is clicked through it first (compositors take a copy only from a client with
// recent input). Returns what went wrong, or an empty string.
class ClipboardFilesTrip {
public:
    static QString run(DevicePeers &peers, RemoteSession *session, WaylandEventWindow &window);
};
