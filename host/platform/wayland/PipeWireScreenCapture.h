#pragma once

#include "capture/ScreenCapture.h"

#include <QHash>

#include <memory>

class StreamSession;

// The monitors of a Wayland desktop, each a PipeWire stream of the agent's screen-cast
// session (Mutter's own or the desktop portal's), and one feed per monitor. The whole desktop
// (id 0) is the primary monitor: the compositor streams one monitor at a time. Main thread;
// each feed captures on its own thread.
class PipeWireScreenCapture : public ScreenCapture {
    Q_OBJECT
public:
    PipeWireScreenCapture(std::shared_ptr<StreamSession> session, const QString &description,
                          QObject *parent = nullptr);
    ~PipeWireScreenCapture() override;

    bool available() const override;
    QString problem() const override;
    QString description() const override { return m_description; }
    bool waiting() const override;
    QList<CaptureMonitor> monitors() const override;
    std::shared_ptr<CaptureFeed> feed(int id) override;
    QImage snapshot(int id, QSize box) override;

private:
    std::shared_ptr<StreamSession> m_session;
    QString m_description;
    QHash<int, std::weak_ptr<CaptureFeed>> m_feeds;
};
