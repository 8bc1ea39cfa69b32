#pragma once

#include <QGroupBox>
#include <QPointer>

class AgentController;
class QButtonGroup;
class QLabel;

// The host panel's "接続の承認" box: whether a viewer with the right passcode comes in at
// once or waits until the user here allows it (the approval windows), sent to the agent
// as "approval" {"mode": "passcode" | "ask"}. Below it, when the agent runs in a Wayland
// session it cannot share, the plain word why. Follows the supervisor's status itself.
class ApprovalBox : public QGroupBox {
    Q_OBJECT
public:
    explicit ApprovalBox(AgentController *agent, QWidget *parent = nullptr);

    // The notice for the agent's `displayServer` and `backend`, "" when there is nothing to say.
    static QString displayNotice(const QString &displayServer, const QString &backend);

private:
    void refresh();

    QPointer<AgentController> m_agent;
    QButtonGroup *m_modes = nullptr;
    QWidget *m_modeRow = nullptr;
    QLabel *m_notice = nullptr;
    QLabel *m_audioError = nullptr;
};
