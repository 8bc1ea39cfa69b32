#include "platform/x11/X11ErrorTrap.h"

#include <QHash>
#include <QLoggingCategory>

#include <mutex>

#include <X11/Xlib.h>

Q_LOGGING_CATEGORY(lcXError, "velmo.x11")

namespace {
std::mutex g_mutex;
QHash<Display *, int> g_errors; // one entry per connection at most

// Any thread that made the failed request.
int onError(Display *dpy, XErrorEvent *ev) {
    char text[128] = {};
    XGetErrorText(dpy, ev->error_code, text, sizeof text);
    qCWarning(lcXError) << "X error" << text << "request" << ev->request_code << "minor" << ev->minor_code;
    std::lock_guard lock(g_mutex);
    g_errors.insert(dpy, ev->error_code);
    return 0;
}

int onIoError(Display *) {
    // Returning lets the connection's exit handler (watchLoss) decide; the process stays.
    return 0;
}
} // namespace

namespace X11ErrorTrap {

void install() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(onError);
        XSetIOErrorHandler(onIoError);
    });
}

int take(Display *dpy) {
    std::lock_guard lock(g_mutex);
    return g_errors.take(dpy);
}

void forget(Display *dpy) {
    std::lock_guard lock(g_mutex);
    g_errors.remove(dpy);
}

void watchLoss(Display *dpy, std::atomic<bool> *lost) {
    XSetIOErrorExitHandler(
        dpy, [](Display *, void *flag) { static_cast<std::atomic<bool> *>(flag)->store(true); }, lost);
}

} // namespace X11ErrorTrap
