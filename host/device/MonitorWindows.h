#pragma once

#include "protocol/ctrl/WindowMessage.h"

#include <QJsonObject>
#include <QObject>

#include <functional>
#include <map>
#include <memory>

class SessionChannels;
class SessionVideo;
class VideoSource;

// The display windows of one viewer ("window"): each its own picture of one display, as
// JPEG on the "windows" channel, with its own quality. The pictures come from the same
// shared capture of that display as every other session's (and the main picture's) and
// from a shared encoder where the quality matches; a window that ends lets go of both, so
// a display nobody shows any more is not captured. A window whose display goes away ends,
// and the viewer is told why ("window_end"). Main thread.
class MonitorWindows : public QObject {
    Q_OBJECT
public:
    // A new picture source for one window (the shared screen or the test pattern).
    using MakeSource = std::function<std::unique_ptr<VideoSource>()>;

    MonitorWindows(MakeSource makeSource, SessionChannels *channels, QObject *parent = nullptr);
    ~MonitorWindows() override;

    void setPaced(bool on) { m_paced = on; }
    // Opens a window or changes its display or quality.
    void open(const WindowMessage &message);
    // The viewer closed the window.
    void end(int win);
    void frameAcked(int win, quint32 seq);
    // The source of an open window (its display, frame size and desktop rectangle), none
    // when there is no such window.
    const VideoSource *source(int win) const;
    int count() const { return int(m_windows.size()); }
    // Every window's picture stops (the session ends).
    void stopAll();

    static QString goneText() { return QStringLiteral("このモニタは取り外されました"); }
    static QString unknownText() { return QStringLiteral("このモニタはありません"); }

Q_SIGNALS:
    // A control message for the viewer ("window_end").
    void ctrl(const QJsonObject &msg);

private:
    struct Window {
        qint64 monitor = 0;
        std::unique_ptr<SessionVideo> video;
    };
    static bool lists(const VideoSource &source, qint64 id);
    // Drops the window; with a reason the viewer is told. `now`: deleted at once (not from
    // inside the window's own signals).
    void drop(int win, const QString &reason, bool now);
    void followMonitors(int win);

    MakeSource m_makeSource;
    SessionChannels *m_channels; // owned by the session, outlives this
    bool m_paced = true;
    std::map<int, Window> m_windows;
};
