#pragma once

#include "protocol/agent/ControlStatus.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <optional>

class AgentController;

// The red bar under the top of the screen while someone controls this device.
class NoticeBar : public QObject {
    Q_OBJECT
public:
    static constexpr int barWidth = 360;
    static constexpr int barHeight = 26;

    explicit NoticeBar(QObject *parent = nullptr);
    ~NoticeBar() override;

    // "遠隔操作中: " and the authenticated viewers' names, or "" for no bar.
    static QString barText(const std::optional<ControlStatus> &status);

    bool isRunning() const { return m_running; }
    // Follows the agent's status; does nothing when already following.
    void start(AgentController *agent);
    // Removes the bar and drops every subscription.
    void stop();
    // Shows, updates or removes the bar.
    void apply(const QString &text);

    QString text() const { return m_text; }
    QWidget *window() const { return m_window; }

private:
    void onStatus();

    QPointer<AgentController> m_agent;
    QMetaObject::Connection m_subscription;
    QPointer<QWidget> m_window;
    QString m_text;
    std::optional<QString> m_lastText;
    bool m_running = false;
};
