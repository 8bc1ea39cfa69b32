#pragma once

#include "protocol/agent/ControlStatus.h"
#include "style/VelmoMark.h"

#include <QObject>
#include <QPointer>

#include <optional>

class AgentController;
class QSystemTrayIcon;

// The tray icon: the mark by state, "操作中" while someone is in, and the
// state in words as tooltip and accessible name.
class MenuBarLabel : public QObject {
    Q_OBJECT
public:
    MenuBarLabel(AgentController *agent, QSystemTrayIcon *tray, QObject *parent = nullptr);

    // Authenticated sessions (0 without a status).
    static int live(const std::optional<ControlStatus> &st);
    static VelmoMark::Style style(const std::optional<ControlStatus> &st, bool running, int live);
    static QString summary(const std::optional<ControlStatus> &st, bool running, int live);

    VelmoMark::Style currentStyle() const { return m_style; }
    // "操作中" while live ≥ 1, else "".
    QString text() const { return m_text; }
    QString currentSummary() const { return m_summary; }

    // Redraws from the supervisor's current state.
    void update();

private:
    QPointer<AgentController> m_agent;
    QPointer<QSystemTrayIcon> m_tray;
    VelmoMark::Style m_style = VelmoMark::Style::off;
    std::optional<VelmoMark::Style> m_shownStyle;
    QString m_text;
    QString m_summary;
};
