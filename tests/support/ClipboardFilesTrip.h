#pragma once

#include <QString>

#include <functional>

class RemoteSession;
class WaylandEventWindow;

// Copied files both ways between the app's viewer (this process's clipboard, through
// ClipboardSync) and a window on the host's Wayland desktop: a file the window copies is
// offered to the viewer and fetched byte for byte when pasted here; a file copied here is
// pasted by the window as text/uri-list naming the agent's own fetched copy; once the
// session ends, the desktop no longer offers it. `session` is connected with the `clip`
// and `files` rights; `clickWindow` gives the window recent input (compositors take a copy
// only from such a client) and says whether the click arrived. Returns what went wrong,
// or an empty string.
class ClipboardFilesTrip {
public:
    static QString run(RemoteSession *session, WaylandEventWindow &window, const std::function<bool()> &clickWindow);
};
