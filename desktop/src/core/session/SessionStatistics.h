#pragma once

#include "media/WebRtcStats.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <optional>

class RemoteSession;

// Connection figures of one session, sampled once a second while running:
// webrtcbin's statistics (RTP bytes and losses, the candidate pair in use),
// the frames and data-channel bytes the session received, the time spent
// decoding, and the round trip of a "ping" on ctrl (a host that does not
// answer pings leaves it unknown).
//
// Main thread; the statistics reply is read on webrtcbin's ":pc" thread and
// handed over by the session.
class SessionStatistics : public QObject {
    Q_OBJECT
public:
    // Bit-rate samples kept for the graph: one a second.
    static constexpr int historySeconds = 60;

    struct Sample {
        std::optional<double> rttMs;       // none until a "pong" came back
        double fps = 0;                    // frames received and decoded per second
        std::optional<double> decodeMs;    // average per frame over the last second
        double kbps = 0;                   // everything received (RTP and data channels)
        std::optional<qint64> packetsLost; // RTP only; none on data-channel video
        std::optional<bool> relayed;       // none until the candidate pair is known
        QString path;                      // e.g. "host ↔ host"
        // What the host reports of the link in its "stats" (none from a host that does
        // not adapt): frames it sent per second, the rate it estimates the path carries,
        // the rate it encodes at, the loss and round-trip time it sees, and what holds
        // the picture back ("回線", "CPU" or empty); and the frame rate its machine
        // sustains for this picture.
        std::optional<int> sentFps;
        std::optional<int> canFps;
        std::optional<int> estimateKbps;
        std::optional<int> targetKbps;
        std::optional<double> hostLossPct;
        std::optional<int> hostRttMs;
        QString limit;
        // Below 1 while the host sends a smaller picture than the viewer asked (the link
        // does not carry more): the factor times the viewer's own scale.
        std::optional<double> scale;
    };

    explicit SessionStatistics(RemoteSession *session, QObject *parent = nullptr);

    void setRunning(bool running);
    bool running() const { return m_timer.isActive(); }
    void setInterval(int ms) { m_timer.setInterval(ms); }

    Sample latest() const { return m_latest; }
    // Kilobits per second, oldest first, at most historySeconds entries.
    QList<double> bitrateHistory() const { return m_history; }

    // The host's "stats" as they came (the session's stats()): its figures replace the
    // host's part of the latest sample, and updated() follows.
    void takeHostStats(const QJsonObject &host);

Q_SIGNALS:
    void updated();

private:
    void tick();
    void onStats(const WebRtcStats &stats);
    void readHostStats(const QJsonObject &host);

    QPointer<RemoteSession> m_session;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastAt = -1;
    quint64 m_lastFrames = 0;
    quint64 m_lastBytes = 0; // RTP + data channels at the previous sample
    Sample m_latest;
    QList<double> m_history;
};
