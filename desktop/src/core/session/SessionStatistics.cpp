#include "session/SessionStatistics.h"

#include "session/RemoteSession.h"

#include <cmath>

SessionStatistics::SessionStatistics(RemoteSession *session, QObject *parent) : QObject(parent), m_session(session) {
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &SessionStatistics::tick);
    if (m_session)
        connect(m_session, &RemoteSession::roundTrip, this, [this](double ms) {
            m_latest.rttMs = ms;
            Q_EMIT updated();
        });
    // The host's figures show as they come, not up to a second later.
    if (m_session)
        connect(m_session, &RemoteSession::statsChanged, this, [this] {
            if (m_timer.isActive())
                takeHostStats(m_session->stats());
        });
}

void SessionStatistics::setRunning(bool running) {
    if (running == m_timer.isActive())
        return;
    if (!running) {
        m_timer.stop();
        return;
    }
    m_clock.start();
    m_lastAt = -1;
    m_timer.start();
    tick();
}

void SessionStatistics::tick() {
    if (!m_session)
        return;
    m_session->sendPing();
    QPointer<SessionStatistics> self(this);
    m_session->collectStats([self](const WebRtcStats &stats) {
        if (self)
            self->onStats(stats);
    });
}

void SessionStatistics::readHostStats(const QJsonObject &host) {
    const auto integer = [&host](const char *key) -> std::optional<int> {
        const QJsonValue v = host.value(QLatin1String(key));
        return v.isDouble() && v.toDouble() >= 0 ? std::optional<int>(int(v.toDouble())) : std::nullopt;
    };
    m_latest.sentFps = integer("fps");
    m_latest.canFps = integer("canFps");
    m_latest.estimateKbps = integer("est");
    m_latest.targetKbps = integer("target");
    m_latest.hostRttMs = integer("rtt");
    const QJsonValue loss = host.value(QLatin1String("loss"));
    m_latest.hostLossPct = loss.isDouble() ? std::optional<double>(loss.toDouble()) : std::nullopt;
    m_latest.limit = host.value(QLatin1String("limit")).toString().left(16);
    // Only a real step down counts; anything else (none, 1, nonsense) is full size.
    const double scale = host.value(QLatin1String("scale")).toDouble(1.0);
    m_latest.scale = std::isfinite(scale) && scale > 0 && scale < 1 ? std::optional<double>(scale) : std::nullopt;
}

void SessionStatistics::takeHostStats(const QJsonObject &host) {
    readHostStats(host);
    Q_EMIT updated();
}

void SessionStatistics::onStats(const WebRtcStats &stats) {
    if (!m_session)
        return;
    const qint64 now = m_clock.elapsed();
    const quint64 frames = m_session->framesReceived();
    const quint64 bytes = stats.rtpBytesReceived + m_session->channelBytesReceived();
    const RemoteSession::DecodeSpan decode = m_session->takeDecodeSpan();
    if (m_lastAt >= 0 && now > m_lastAt) {
        const double seconds = double(now - m_lastAt) / 1000.0;
        // A reconnect starts the RTP counters again: a count that went down is a new start.
        const quint64 gotBytes = bytes >= m_lastBytes ? bytes - m_lastBytes : bytes;
        m_latest.fps = double(frames - std::min(frames, m_lastFrames)) / seconds;
        m_latest.kbps = double(gotBytes) * 8.0 / 1000.0 / seconds;
        m_history.append(m_latest.kbps);
        while (m_history.size() > historySeconds)
            m_history.removeFirst();
    }
    m_lastAt = now;
    m_lastFrames = frames;
    m_lastBytes = bytes;
    m_latest.decodeMs = decode.frames ? std::optional<double>(decode.averageMs) : std::nullopt;
    m_latest.packetsLost = stats.rtpPacketsLost >= 0 ? std::optional<qint64>(stats.rtpPacketsLost) : std::nullopt;
    readHostStats(m_session->stats());
    if (stats.hasPath()) {
        m_latest.relayed = stats.relayed();
        m_latest.path = stats.localCandidateType + QStringLiteral(" ↔ ") + stats.remoteCandidateType;
    }
    Q_EMIT updated();
}
