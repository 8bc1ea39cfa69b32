#include "viewer/SessionWindows.h"

#include <QGuiApplication>
#include <QScreen>

#include "viewer/SessionWindowView.h"

#include "config/AppConfig.h"
#include "session/SessionStore.h"

SessionWindows::SessionWindows(SessionStore *store, AppConfig *config, QObject *parent)
    : QObject(parent), m_store(store), m_config(config) {}

SessionWindows::~SessionWindows() {
    const auto windows = std::exchange(m_windows, {});
    for (const auto &w : windows)
        delete w.data();
}

SessionWindowView *SessionWindows::open(const QString &sid) {
    if (SessionWindowView *w = m_windows.value(sid)) {
        w->show();
        w->raise();
        w->activateWindow();
        return w;
    }
    auto *w = new SessionWindowView(sid, m_store, m_config);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->setWindowFlag(Qt::Tool, m_skipTaskbar);
    // Larger than before, within the screen's free area.
    QSize size(defaultWidth, defaultHeight);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size() * 0.92);
    w->resize(size);
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
