#include "viewer/SessionWindows.h"

#include "viewer/SessionWindowView.h"

SessionWindows::SessionWindows(QObject *parent) : QObject(parent) {}

SessionWindows *SessionWindows::shared() {
    static SessionWindows *const instance = new SessionWindows;
    return instance;
}

SessionWindowView *SessionWindows::open(const QString &sid) {
    if (SessionWindowView *w = m_windows.value(sid)) {
        w->show();
        w->raise();
        w->activateWindow();
        return w;
    }
    auto *w = new SessionWindowView(sid);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->setWindowFlag(Qt::Tool, m_skipTaskbar);
    w->resize(defaultWidth, defaultHeight);
    m_windows.insert(sid, w);
    connect(w, &QObject::destroyed, this, [this, sid] { m_windows.remove(sid); });
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

int SessionWindows::count() const {
    int n = 0;
    for (const auto &w : m_windows)
        n += w ? 1 : 0;
    return n;
}

void SessionWindows::setSkipTaskbar(bool skip) {
    m_skipTaskbar = skip;
    for (const auto &w : m_windows) {
        if (!w)
            continue;
        const bool visible = w->isVisible();
        w->setWindowFlag(Qt::Tool, skip);
        if (visible)
            w->show();
    }
}
