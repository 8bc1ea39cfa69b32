#pragma once

#include <QObject>
#include <QString>

#include <memory>

class ClipboardBackend;
class InputInjector;
class ScreenCapture;

// One platform's set of the desktop parts a device shares: the screen, the input and
// the clipboard. BackendFactory picks the set at start from what the session offers;
// the device side only knows these interfaces. A back end whose parts share one
// connection to the desktop (a compositor's remote-desktop session) keeps it here, so
// it outlives the parts it hands out. Main thread.
class DesktopBackend {
public:
    virtual ~DesktopBackend() = default;
    // For the status's `backend`: "x11", "wlroots", "mutter" or "portal".
    virtual QString name() const = 0;
    // The screen, as a child of `parent`; null, and why in *problem (for the log and the
    // status), when it cannot be captured.
    virtual ScreenCapture *openCapture(QObject *parent, QString *problem) = 0;
    // Input for viewers; null, and why in *problem, when the desktop takes none from us.
    virtual std::unique_ptr<InputInjector> openInput(QString *problem) = 0;
    // The desktop's clipboard; null, and why in *problem, when there is none to share.
    virtual std::unique_ptr<ClipboardBackend> openClipboard(QString *problem) = 0;
    // Whether input goes through the same session as the pictures, so that it ends when
    // the capture reports failed().
    virtual bool inputEndsWithScreen() const { return false; }
    // Why the desktop takes no input from us after all, once its screen is ready (its user
    // allowed the screen but not the keyboard and pointer); "" when it does.
    virtual QString inputProblem() const { return {}; }
};
