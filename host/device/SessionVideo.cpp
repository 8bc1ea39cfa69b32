#include "device/SessionVideo.h"

#include "device/HookTraffic.h"
#include "device/SessionChannels.h"

#include "protocol/JpegChunkHeader.h"
#include "protocol/ctrl/CursorMessage.h"
#include "protocol/ctrl/StatsMessage.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcVideo, "velmo.device.video")

namespace {
// JPEG frames waiting in the "video" channel beyond this mean the viewer is behind: skip.
// (A viewer that acknowledges frames is paced more tightly by JpegPacer.)
constexpr quint64 kMaxBuffered = 1024 * 1024;
// The frame rate a JPEG picture should keep before it gets softer and smaller: half the
// viewer's rate, so a preset that asks for many frames keeps more of them, and one that
// asks for few keeps its sharpness longer.
int goalFps(int viewerFps) {
    return std::max(3, viewerFps / 2);
}
} // namespace

SessionVideo::SessionVideo(std::unique_ptr<VideoSource> source, SessionChannels *channels, QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_channels(channels) {
    m_clock.start();
    m_statsTimer.setInterval(1000);
    connect(&m_statsTimer, &QTimer::timeout, this, &SessionVideo::sendStats);
    m_cursorTimer.setInterval(100);
    connect(&m_cursorTimer, &QTimer::timeout, this, &SessionVideo::sendCursor);
    m_paceTimer.setInterval(500);
    connect(&m_paceTimer, &QTimer::timeout, this, &SessionVideo::pace);
    connect(m_source.get(), &VideoSource::jpegFrame, this, &SessionVideo::sendJpeg);
    connect(m_source.get(), &VideoSource::stillReady, this, [this](const QByteArray &png, int w, int h) {
        if (m_running)
            sendChunks(png, w, h, true);
    });
}

SessionVideo::~SessionVideo() = default;

bool SessionVideo::build(GstElement *webrtc, int h264Pt, int twccExt) {
    m_h264 = h264Pt > 0;
    return m_h264 ? m_source->addH264(webrtc, h264Pt, twccExt) : m_source->addJpeg();
}

void SessionVideo::start() {
    m_running = true;
    m_source->setFlowing(true);
    if (m_window == 0) {
        m_statsTimer.start();
        m_cursorTimer.start();
    }
    if (!m_h264)
        m_paceTimer.start();
}

void SessionVideo::stop() {
    m_running = false;
    m_statsTimer.stop();
    m_cursorTimer.stop();
    m_paceTimer.stop();
    m_source->setFlowing(false);
}

void SessionVideo::viewerPointer(double x, double y) {
    const QSize size = m_source->frameSize();
    m_pointer = QPoint(int(std::clamp(x, 0.0, double(size.width()))), int(std::clamp(y, 0.0, double(size.height()))));
}

void SessionVideo::sendJpeg(const QByteArray &jpeg, int w, int h) {
    if (!m_running)
        return;
    // The frames before are still on their way: this one is left out, and the next
    // picture (newer) goes once the viewer has them. Nothing queues for seconds.
    if (m_paced && !m_pacer.canSend(g_get_monotonic_time())) {
        ++m_skipped;
        return;
    }
    if (sendChunks(jpeg, w, h, false))
        m_pacer.sent(m_seq, int(jpeg.size()), g_get_monotonic_time());
    else
        ++m_skipped;
}

void SessionVideo::frameAcked(quint32 seq) {
    if (!m_h264 && m_paced)
        m_pacer.acked(seq, g_get_monotonic_time());
}

void SessionVideo::pace() {
    m_pacer.setGoalFps(goalFps(m_source->settings().fps));
    const int before = m_pacer.step();
    const int step = m_pacer.update(g_get_monotonic_time());
    qCDebug(lcVideo) << "pace: step" << step << "rate" << m_pacer.rate() << "frame" << m_pacer.frameBytes();
    if (step != before) {
        const JpegPacer::Step v = m_pacer.stepValues(m_source->settings().q);
        m_source->setLinkStep(v.scale, v.q);
    }
}

bool SessionVideo::sendChunks(const QByteArray &data, int w, int h, bool still) {
    const char *label = m_window > 0 ? "windows" : "video";
    if (!m_channels->has(QLatin1String(label)))
        return false;
    // Windows share their channel: each keeps its own share of what may wait in it.
    const quint64 limit = m_window > 0 ? kMaxBuffered / 2 : kMaxBuffered;
    if (!still && m_channels->buffered(label) > limit)
        return false; // the viewer is behind: skip this frame rather than queue it
    if (m_badChunks && !still && m_window == 0)
        HookTraffic::badChunks(*m_channels, m_seq);
    const QByteArray prefix = m_window > 0 ? QByteArray(1, char(m_window)) : QByteArray();
    const int payload = SessionChannels::maxMessage - int(JpegChunkHeader::size) - int(prefix.size());
    const qsizetype count = std::max<qsizetype>(1, (data.size() + payload - 1) / payload);
    if (count > 0xFFFF)
        return false;
    JpegChunkHeader header;
    header.seq = ++m_seq;
    header.count = quint16(count);
    header.w = quint16(std::clamp(w, 0, 0xFFFF));
    header.h = quint16(std::clamp(h, 0, 0xFFFF));
    header.flags = still ? JpegChunkHeader::stillFlag : 0;
    for (qsizetype i = 0; i < count; ++i) {
        header.index = quint16(i);
        m_channels->sendBinary(label, prefix + header.encode(data.mid(i * payload, payload)));
    }
    if (!still) {
        ++m_sentFrames;
        m_sentBytes += data.size();
    }
    return true;
}

void SessionVideo::sendStats() {
    if (!m_running)
        return;
    const bool relay = m_relay ? m_relay() : false;
    int frames = m_sentFrames;
    qint64 bytes = m_sentBytes;
    m_sentFrames = 0;
    m_sentBytes = 0;
    const auto counters = m_source->takeCounters();
    if (m_h264) {
        frames = counters.first;
        bytes = counters.second;
    }
    StatsMessage stats;
    stats.codec = m_source->codec();
    stats.encoder = m_source->encoder();
    stats.fps = frames;
    stats.kbps = bytes * 8 / 1000;
    stats.relay = relay;
    stats.link = m_source->linkStats();
    if (m_h264) {
        stats.link.insert("keys", m_source->keyFrames());
    } else if (m_pacer.acking()) {
        // The JPEG path's own measure of the link: the delivery rate, and whether it made
        // the picture smaller or softer than the viewer asked.
        stats.link.insert("est", qint64(m_pacer.rate() * 8 / 1000));
        stats.link.insert("skipped", m_skipped);
        if (m_pacer.step() > 0) {
            stats.link.insert("limit", QStringLiteral("回線"));
            if (const double scale = m_pacer.stepValues(m_source->settings().q).scale; scale < 1)
                stats.link.insert("scale", scale);
        }
    }
    m_skipped = 0;
    m_lastStats = stats.toJson();
    Q_EMIT ctrl(m_lastStats);
    Q_EMIT statsSent();
}

void SessionVideo::sendCursor() {
    if (!m_running)
        return;
    // The host's own pointer when the source has one (where it was last seen over the
    // shown display), else the viewer's.
    if (const auto host = m_source->pointer())
        m_pointer = host;
    if (m_pointer) {
        Q_EMIT ctrl(CursorMessage{double(m_pointer->x()), double(m_pointer->y())}.toJson());
        return;
    }
    // Until the viewer moves it: a pointer circling the middle of the picture, in frame pixels.
    const QSize size = m_source->frameSize();
    const double t = double(m_clock.elapsed()) / 1000.0;
    const int x = int(size.width() / 2 + std::cos(t) * size.width() / 4);
    const int y = int(size.height() / 2 + std::sin(t) * size.height() / 4);
    Q_EMIT ctrl(CursorMessage{double(x), double(y)}.toJson());
}
