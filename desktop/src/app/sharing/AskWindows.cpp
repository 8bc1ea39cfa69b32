#include "sharing/AskWindows.h"

#include "agent/AgentController.h"
#include "sharing/AskWindow.h"
#include "sharing/HostWindowSystem.h"
#include "util/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>

AskWindows::AskWindows(QObject *parent) : QObject(parent) {}

AskWindows::~AskWindows() {
    QObject::disconnect(m_subscription);
    closeAll();
}

void AskWindows::start(AgentController *agent) {
    if (m_running || !agent)
        return;
    m_running = true;
    m_agent = agent;
    m_subscription = connect(agent, &AgentController::statusChanged, this, &AskWindows::onStatus);
    onStatus();
}

AskWindow *AskWindows::window(const QString &sid) const {
    return m_windows.value(sid).data();
}

void AskWindows::onStatus() {
    QList<ControlAsk> asks;
    if (m_agent && m_agent->status())
        asks = m_agent->status()->asks;
    QStringList sids;
    sids.reserve(asks.size());
    for (const ControlAsk &a : asks)
        sids.append(a.sid);
    if (m_lastSids && *m_lastSids == sids)
        return;
    m_lastSids = sids;
    sync(asks);
}

void AskWindows::sync(const QList<ControlAsk> &asks) {
    QSet<QString> listed;
    for (const ControlAsk &a : asks)
        listed.insert(a.sid);
    // New prompts first, each placed by the number of prompts open at that moment
    // (withdrawn ones included, they are still on screen); then the withdrawn
    // ones close. The bound counts only the prompts that stay.
    const QStringList open = m_windows.keys();
    int staying = 0;
    for (const QString &sid : open)
        staying += listed.contains(sid) ? 1 : 0;
    for (const ControlAsk &a : asks) {
        if (staying >= maxOpen)
            break;
        if (a.sid.isEmpty() || m_windows.contains(a.sid))
            continue;
        AskWindow *w = makeWindow(a, int(m_windows.size()));
        m_windows.insert(a.sid, w);
        ++staying;
    }
    for (const QString &sid : open)
        if (!listed.contains(sid))
            if (AskWindow *w = m_windows.value(sid))
                closeQuietly(w);
}

AskWindow *AskWindows::makeWindow(const ControlAsk &ask, int index) {
    auto *w = new AskWindow(ask);
    m_sids.insert(w, ask.sid);
    connect(w, &AskWindow::closing, this, &AskWindows::windowWillClose);
    connect(w, &AskWindow::answeredByUser, this, [this](const QString &sid, bool ok) {
        answered(sid);
        if (m_agent)
            m_agent->answerAsk(sid, ok);
    });
    if (QScreen *screen = QGuiApplication::primaryScreen())
        w->move(WindowPlacement::askWindow(screen->availableGeometry(), w->size(), index));
    w->show();
    HostWindowSystem::bringToFront(w);
    HostWindowSystem::makeSticky(w);
    HostWindowSystem::requestAttention(w);
    return w;
}

void AskWindows::closeQuietly(AskWindow *w) {
    m_quiet.insert(w);
    const QString sid = m_sids.take(w);
    m_windows.remove(sid);
    disconnect(w, nullptr, this, nullptr);
    w->close();
    m_quiet.remove(w);
    w->deleteLater();
}

void AskWindows::answered(const QString &sid) {
    if (AskWindow *w = m_windows.value(sid))
        closeQuietly(w);
}

void AskWindows::windowWillClose(AskWindow *w) {
    if (!m_sids.contains(w))
        return;
    const QString sid = m_sids.take(w);
    m_windows.remove(sid);
    w->deleteLater();
    if (m_quiet.remove(w))
        return;
    // Closed by the user: that is a refusal.
    if (m_agent)
        m_agent->answerAsk(sid, false);
}

void AskWindows::closeAll() {
    const auto open = m_windows.values();
    for (const QPointer<AskWindow> &w : open)
        if (w)
            closeQuietly(w);
    m_windows.clear();
    m_sids.clear();
}
