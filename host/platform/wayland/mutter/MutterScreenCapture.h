#pragma once

#include "capture/ScreenCapture.h"

#include <QHash>

#include <memory>

class MutterSession;

// The monitors of a Mutter desktop, each a screen-cast stream of the agent's remote-desktop
// session, and one feed per monitor. The whole desktop (id 0) is the primary monitor: Mutter
// streams one monitor at a time. Main thread; each feed captures on its own thread.
class MutterScreenCapture : public ScreenCapture {
    Q_OBJECT
public:
    MutterScreenCapture(std::shared_ptr<MutterSession> session, QObject *parent = nullptr);
    ~MutterScreenCapture() override;

    bool available() const override;
    QString problem() const override;
    QString description() const override { return QStringLiteral("Mutter screen cast (PipeWire)"); }
    QList<CaptureMonitor> monitors() const override;
    std::shared_ptr<CaptureFeed> feed(int id) override;
    QImage snapshot(int id, QSize box) override;

private:
    std::shared_ptr<MutterSession> m_session;
    QHash<int, std::weak_ptr<CaptureFeed>> m_feeds;
};
