#pragma once

#include "capture/VideoSource.h"
#include "network/JpegPacer.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPoint>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class SessionChannels;

// The picture side of one viewer's session: its video source, JPEG frames cut into
// chunks on "video", "stats" every second and "cursor" ten times a second on "ctrl".
// Nothing is sent before start() (the viewer has proven the passcode). Main thread.
class SessionVideo : public QObject {
    Q_OBJECT
public:
    SessionVideo(std::unique_ptr<VideoSource> source, SessionChannels *channels, QObject *parent = nullptr);
    ~SessionVideo() override;

    VideoSource *source() const { return m_source.get(); }
    // Builds the branch: an H.264 track with payload type `h264Pt` (and the transport-wide
    // sequence number in header extension `twccExt`, 0 for none) into `webrtc`, or JPEG.
    bool build(GstElement *webrtc, int h264Pt, int twccExt);
    // The last "stats" sent to the viewer (empty before the first).
    QJsonObject lastStats() const { return m_lastStats; }
    QString mode() const { return m_h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"); }
    void setBadChunks(bool on) { m_badChunks = on; }
    // JPEG frames wait for the viewer's acknowledgements (the default).
    void setPaced(bool on) { m_paced = on; }
    // A display's window of its own ("window"): JPEG chunks on "windows", each behind the
    // byte `win`; no "stats" or "cursor" (those are the main picture's). Before start().
    void setWindow(int win) { m_window = win; }
    int window() const { return m_window; }
    // Called for the statistics: refreshes and tells whether a relay carries the session.
    void setRelayProbe(std::function<bool()> probe) { m_relay = std::move(probe); }

    void start();
    void stop();
    // The viewer's pointer: the reported one when the source has none of its own.
    void viewerPointer(double x, double y);
    // "frame_ack": the viewer has JPEG frame `seq` and the ones before it.
    void frameAcked(quint32 seq);

Q_SIGNALS:
    // A control message for the viewer.
    void ctrl(const QJsonObject &msg);
    // lastStats() is new (once a second while the picture flows).
    void statsSent();

private:
    // False when the frame was not handed to the channel.
    bool sendChunks(const QByteArray &data, int w, int h, bool still);
    void sendStats();
    void sendCursor();
    void pace();
    void sendJpeg(const QByteArray &jpeg, int w, int h);

    std::unique_ptr<VideoSource> m_source;
    SessionChannels *m_channels; // owned by the session, outlives this
    bool m_h264 = false;
    bool m_running = false;
    bool m_badChunks = false;
    bool m_paced = true;
    int m_window = 0; // 0: the main picture on "video"
    std::function<bool()> m_relay;
    quint32 m_seq = 0;
    int m_sentFrames = 0;
    qint64 m_sentBytes = 0;
    QTimer m_statsTimer;
    QTimer m_cursorTimer;
    QElapsedTimer m_clock;
    std::optional<QPoint> m_pointer;
    QJsonObject m_lastStats;
    JpegPacer m_pacer;
    QTimer m_paceTimer;
    int m_skipped = 0; // JPEG frames left out since the last statistics
};
