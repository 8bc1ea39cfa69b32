#pragma once

#include "capture/ScreenCapture.h"

#include <QHash>
#include <QTimer>

#include <atomic>
#include <memory>

class QSocketNotifier;
typedef struct _XDisplay Display;

// The X11 desktop in DISPLAY: its monitors from XRandR (followed through
// RRScreenChangeNotify) and one MIT-SHM feed per monitor. Main thread; each feed
// captures on its own thread with its own display connection.
class X11ScreenCapture : public ScreenCapture {
    Q_OBJECT
public:
    explicit X11ScreenCapture(QObject *parent = nullptr);
    ~X11ScreenCapture() override;

    bool available() const override { return m_dpy != nullptr && m_problem.isEmpty(); }
    QString problem() const override { return m_problem; }
    QString description() const override;
    QList<CaptureMonitor> monitors() const override { return m_monitors; }
    std::shared_ptr<CaptureFeed> feed(int id) override;
    QImage snapshot(int id, QSize box) override;

private:
    void readEvents();
    void refreshMonitors();
    QRect rectOf(int id) const;
    // What the whole-desktop picture shows: every monitor (the rest of their bounding box is black).
    QList<QRect> shownAreas() const;

    Display *m_dpy = nullptr;
    int m_randrEvent = -1;
    QString m_problem;
    QList<CaptureMonitor> m_monitors;
    QHash<QString, int> m_ids; // monitor name → id, kept across layout changes
    int m_nextId = 1;
    QHash<int, std::weak_ptr<CaptureFeed>> m_feeds;
    QSocketNotifier *m_notifier = nullptr; // child
    QTimer m_settle;
    QTimer m_poll;
    std::atomic<bool> m_lost{false};
};
