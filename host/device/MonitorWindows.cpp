#include "device/MonitorWindows.h"

#include "capture/VideoSource.h"
#include "device/SessionVideo.h"
#include "protocol/ctrl/WindowEndMessage.h"

#include <QJsonArray>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcWindows, "velmo.device.windows")

MonitorWindows::MonitorWindows(MakeSource makeSource, SessionChannels *channels, QObject *parent)
    : QObject(parent), m_makeSource(std::move(makeSource)), m_channels(channels) {}

MonitorWindows::~MonitorWindows() {
    stopAll();
}

bool MonitorWindows::lists(const VideoSource &source, qint64 id) {
    const QJsonArray monitors = source.monitors();
    for (const QJsonValue &m : monitors)
        if (m.toObject().value(QLatin1String("id")).toInteger() == id)
            return true;
    return false;
}

void MonitorWindows::open(const WindowMessage &message) {
    auto it = m_windows.find(message.win);
    if (it == m_windows.end()) {
        std::unique_ptr<VideoSource> source = m_makeSource ? m_makeSource() : nullptr;
        if (!source || !source->addJpeg()) {
            Q_EMIT ctrl(WindowEndMessage{message.win, QStringLiteral("この端末はモニタの画面を送れません")}.toJson());
            return;
        }
        if (!lists(*source, message.id)) {
            Q_EMIT ctrl(WindowEndMessage{message.win, unknownText()}.toJson());
            return;
        }
        auto video = std::make_unique<SessionVideo>(std::move(source), m_channels);
        video->setWindow(message.win);
        video->setPaced(m_paced);
        const int win = message.win;
        connect(video->source(), &VideoSource::monitorsChanged, this, [this, win] { followMonitors(win); });
        it = m_windows.emplace(win, Window{message.id, std::move(video)}).first;
        qCInfo(lcWindows) << "window" << win << "opened on display" << message.id;
    } else if (!lists(*it->second.video->source(), message.id)) {
        drop(message.win, unknownText(), false);
        return;
    }
    Window &w = it->second;
    VideoSource *source = w.video->source();
    w.monitor = message.id;
    source->select(QStringLiteral("single"), message.id);
    source->apply(message.quality);
    w.video->start();
}

void MonitorWindows::end(int win) {
    drop(win, QString(), false);
}

void MonitorWindows::frameAcked(int win, quint32 seq) {
    if (auto it = m_windows.find(win); it != m_windows.end())
        it->second.video->frameAcked(seq);
}

const VideoSource *MonitorWindows::source(int win) const {
    const auto it = m_windows.find(win);
    return it == m_windows.end() ? nullptr : it->second.video->source();
}

void MonitorWindows::stopAll() {
    while (!m_windows.empty())
        drop(m_windows.begin()->first, QString(), true);
}

void MonitorWindows::drop(int win, const QString &reason, bool now) {
    auto it = m_windows.find(win);
    if (it == m_windows.end())
        return;
    std::unique_ptr<SessionVideo> video = std::move(it->second.video);
    m_windows.erase(it);
    // The capture and encoder are let go now; the objects themselves later, unless asked,
    // since this may run inside their own signal.
    video->stop();
    video->source()->disconnect(this);
    if (!now)
        video.release()->deleteLater();
    qCInfo(lcWindows) << "window" << win << "ended" << reason;
    if (!reason.isEmpty())
        Q_EMIT ctrl(WindowEndMessage{win, reason}.toJson());
}

void MonitorWindows::followMonitors(int win) {
    const auto it = m_windows.find(win);
    if (it == m_windows.end())
        return;
    // The source shows another display when its own went away: the window ends instead.
    if (!lists(*it->second.video->source(), it->second.monitor))
        drop(win, goneText(), false);
}
