#pragma once

#include "capture/ScreenCapture.h"

#include <QHash>
#include <QTimer>

#include <memory>

class QSocketNotifier;
class WaylandClient;

// The outputs of a wlroots compositor (sway, labwc, Hyprland, …) and one screencopy feed
// per output. The outputs come from the agent's own connection (wl_output and
// xdg-output), followed while the agent runs. Main thread; each feed captures on its own
// thread with its own connection. The whole desktop (id 0) is the first output: the
// compositor hands out pictures one output at a time.
class WlrScreenCapture : public ScreenCapture {
    Q_OBJECT
public:
    explicit WlrScreenCapture(QObject *parent = nullptr);
    ~WlrScreenCapture() override;

    bool available() const override { return m_client != nullptr && m_problem.isEmpty(); }
    QString problem() const override { return m_problem; }
    QString description() const override { return QStringLiteral("wlroots screencopy"); }
    QList<CaptureMonitor> monitors() const override { return m_monitors; }
    std::shared_ptr<CaptureFeed> feed(int id) override;
    QImage snapshot(int id, QSize box) override;

private:
    void readEvents();
    void refreshMonitors();
    QRect rectOf(int id) const;

    std::unique_ptr<WaylandClient> m_client;
    QString m_problem;
    QList<CaptureMonitor> m_monitors;
    QHash<QString, int> m_ids; // output name → id, kept across layout changes
    int m_nextId = 1;
    QHash<int, std::weak_ptr<CaptureFeed>> m_feeds;
    QSocketNotifier *m_notifier = nullptr; // child
    QTimer m_settle;
};
