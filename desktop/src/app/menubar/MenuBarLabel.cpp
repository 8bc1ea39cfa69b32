#include "menubar/MenuBarLabel.h"

#include "agent/AgentController.h"

#include <QApplication>
#include <QPalette>
#include <QSystemTrayIcon>

MenuBarLabel::MenuBarLabel(AgentController *agent, QSystemTrayIcon *tray, QObject *parent)
    : QObject(parent), m_agent(agent), m_tray(tray) {
    if (agent) {
        connect(agent, &AgentController::statusChanged, this, &MenuBarLabel::update);
        connect(agent, &AgentController::runningChanged, this, &MenuBarLabel::update);
    }
    update();
}

int MenuBarLabel::live(const std::optional<ControlStatus> &st) {
    if (!st)
        return 0;
    int n = 0;
    for (const ControlSession &s : st->sessions)
        n += s.authed ? 1 : 0;
    return n;
}

VelmoMark::Style MenuBarLabel::style(const std::optional<ControlStatus> &st, bool running, int live) {
    if (!st || !running)
        return VelmoMark::Style::off;
    if (live >= 1)
        return VelmoMark::Style::busy;
    return st->sharing ? VelmoMark::Style::idle : VelmoMark::Style::off;
}

QString MenuBarLabel::summary(const std::optional<ControlStatus> &st, bool running, int live) {
    if (!st || !running)
        return QStringLiteral("Velmo Remote: エージェント未起動");
    if (live >= 1)
        return QStringLiteral("Velmo Remote: 遠隔操作中(") + QString::number(live) + QStringLiteral(" 人)");
    return st->sharing ? QStringLiteral("Velmo Remote: 待ち受け中") : QStringLiteral("Velmo Remote: 共有を停止中");
}

void MenuBarLabel::update() {
    const std::optional<ControlStatus> st = m_agent ? m_agent->status() : std::nullopt;
    const bool running = m_agent && m_agent->running();
    const int n = live(st);
    m_style = style(st, running, n);
    m_text = n >= 1 ? QStringLiteral("操作中") : QString();
    m_summary = summary(st, running, n);
    if (!m_tray)
        return;
    if (m_shownStyle != m_style) {
        m_shownStyle = m_style;
        m_tray->setIcon(VelmoMark::icon(m_style, QApplication::palette().color(QPalette::WindowText)));
    }
    // A tray cannot put words beside its icon: the label leads the tooltip instead.
    m_tray->setToolTip(m_text.isEmpty() ? m_summary : m_text + QStringLiteral(" — ") + m_summary);
}
