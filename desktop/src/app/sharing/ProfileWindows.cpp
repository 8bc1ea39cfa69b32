#include "sharing/ProfileWindows.h"

#include "agent/AgentController.h"
#include "sharing/HostWindowSystem.h"
#include "sharing/ProfileWindow.h"
#include "util/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSet>
#include <QTimer>

ProfileWindows::ProfileWindows(QObject *parent) : QObject(parent) {}

ProfileWindows::~ProfileWindows() {
    QObject::disconnect(m_subscription);
    closeAll();
}

void ProfileWindows::start(AgentController *agent) {
    if (m_running || !agent)
        return;
    m_running = true;
    m_agent = agent;
    m_subscription = connect(agent, &AgentController::statusChanged, this, &ProfileWindows::onStatus);
    onStatus();
}

ProfileWindow *ProfileWindows::window(const QString &sid) const {
    return m_windows.value(sid).data();
}

void ProfileWindows::onStatus() {
    QList<ControlSession> authed;
    if (m_agent && m_agent->status())
        for (const ControlSession &s : m_agent->status()->sessions)
            if (s.authed)
                authed.append(s);
    QStringList sids;
    for (const ControlSession &s : authed)
        sids.append(s.sid);
    if (m_lastSids && *m_lastSids == sids)
        return;
    m_lastSids = sids;
    sync(authed);
}

void ProfileWindows::sync(const QList<ControlSession> &sessions) {
    QSet<QString> listed;
    for (const ControlSession &s : sessions)
        listed.insert(s.sid);
    for (const QString &sid : m_windows.keys()) {
        if (listed.contains(sid))
            continue;
        ProfileWindow *w = m_windows.take(sid);
        m_sids.remove(w);
        if (w) {
            disconnect(w, nullptr, this, nullptr);
            w->close();
            w->deleteLater();
        }
    }
    for (const ControlSession &s : sessions) {
        if (m_windows.size() >= maxOpen)
            break;
        if (s.sid.isEmpty() || m_windows.contains(s.sid))
            continue;
        m_windows.insert(s.sid, makeWindow(s.sid, int(m_windows.size())));
    }
}

ProfileWindow *ProfileWindows::makeWindow(const QString &sid, int index) {
    auto *w = new ProfileWindow(sid, m_agent);
    m_sids.insert(w, sid);
    connect(w, &ProfileWindow::closing, this, &ProfileWindows::windowWillClose);
    auto place = [w, index](QSize size) {
        if (QScreen *screen = QGuiApplication::primaryScreen())
            w->move(WindowPlacement::profileWindow(screen->availableGeometry(), size, index));
    };
    place(w->size());
    w->show();
    // The window manager's frame is known only once it has taken the window:
    // place it again by its outer size so that the title bar fits too.
    QTimer::singleShot(150, w, [w, place] {
        if (w->frameGeometry().size() != w->size())
            place(w->frameGeometry().size());
    });
    HostWindowSystem::bringToFront(w);
    return w;
}

void ProfileWindows::windowWillClose(ProfileWindow *w) {
    // The session goes on; only the window is gone.
    if (!m_sids.contains(w))
        return;
    m_windows.remove(m_sids.take(w));
    w->deleteLater();
}

void ProfileWindows::closeAll() {
    const auto open = m_windows.values();
    m_windows.clear();
    m_sids.clear();
    for (const QPointer<ProfileWindow> &w : open) {
        if (!w)
            continue;
        disconnect(w, nullptr, this, nullptr);
        w->close();
        w->deleteLater();
    }
}
