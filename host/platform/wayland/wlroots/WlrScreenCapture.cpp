#include "platform/wayland/wlroots/WlrScreenCapture.h"

#include "capture/CaptureFeed.h"
#include "platform/wayland/WaylandClient.h"
#include "platform/wayland/wlroots/WlrFrameGrabber.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

Q_LOGGING_CATEGORY(lcWlrScreen, "velmo.capture.wlroots")

WlrScreenCapture::WlrScreenCapture(QObject *parent) : ScreenCapture(parent) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(100);
    connect(&m_settle, &QTimer::timeout, this, &WlrScreenCapture::refreshMonitors);
    m_client = WaylandClient::connect(&m_problem);
    if (!m_client)
        return;
    if (!m_client->has(zwlr_screencopy_manager_v1_interface.name)) {
        m_problem = QStringLiteral("the compositor has no wlr-screencopy");
        return;
    }
    // Called inside a dispatch on this thread: look once the changes have settled.
    m_client->setOutputsChanged([this] { m_settle.start(); });
    refreshMonitors();
    m_notifier = new QSocketNotifier(m_client->fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &WlrScreenCapture::readEvents);
    if (m_monitors.isEmpty())
        qCWarning(lcWlrScreen) << "the compositor has no output yet";
}

WlrScreenCapture::~WlrScreenCapture() {
    delete m_notifier;
    m_notifier = nullptr;
}

void WlrScreenCapture::readEvents() {
    if (!m_client->dispatchPending()) {
        qCWarning(lcWlrScreen) << "the Wayland compositor went away";
        m_notifier->setEnabled(false);
    }
}

void WlrScreenCapture::refreshMonitors() {
    QList<CaptureMonitor> list;
    for (const auto &o : m_client->outputs()) {
        const QRect rect = o->desktopRect();
        if (!o->announced || rect.isEmpty())
            continue;
        const QString name = o->name.isEmpty() ? QStringLiteral("output %1").arg(o->global) : o->name;
        int id = m_ids.value(name);
        if (!id) {
            id = m_nextId++;
            m_ids.insert(name, id);
        }
        list.append({id, name, rect, false});
    }
    // wlroots has no primary output: the first one is where a viewer starts.
    if (!list.isEmpty())
        list.first().primary = true;
    for (auto it = m_feeds.begin(); it != m_feeds.end();)
        it = it.value().expired() ? m_feeds.erase(it) : std::next(it);
    const bool changed = list != m_monitors;
    m_monitors = list;
    for (auto it = m_feeds.cbegin(); it != m_feeds.cend(); ++it)
        if (auto f = it.value().lock())
            f->setRect(rectOf(it.key()));
    if (changed) {
        QStringList text;
        for (const CaptureMonitor &m : std::as_const(m_monitors))
            text << QStringLiteral("%1 %2 %3x%4+%5+%6")
                        .arg(m.id)
                        .arg(m.name)
                        .arg(m.rect.width())
                        .arg(m.rect.height())
                        .arg(m.rect.x())
                        .arg(m.rect.y());
        qCInfo(lcWlrScreen) << "outputs:" << text.join(QStringLiteral(", "));
        Q_EMIT monitorsChanged();
    }
}

QRect WlrScreenCapture::rectOf(int id) const {
    for (const CaptureMonitor &m : m_monitors)
        if (m.id == id)
            return m.rect;
    // The whole desktop, or an output that went away: the first output.
    return m_monitors.isEmpty() ? QRect() : m_monitors.first().rect;
}

std::shared_ptr<CaptureFeed> WlrScreenCapture::feed(int id) {
    if (!available())
        return nullptr;
    if (auto existing = m_feeds.value(id).lock())
        return existing;
    bool known = id == 0;
    for (const CaptureMonitor &m : std::as_const(m_monitors))
        known = known || m.id == id;
    const QRect rect = rectOf(id);
    if (!known || rect.isEmpty())
        return nullptr;
    auto feed = std::make_shared<CaptureFeed>(id, std::make_unique<WlrFrameGrabber>());
    QString error;
    if (!feed->start(rect, &error)) {
        qCWarning(lcWlrScreen) << "capture of output" << id << "failed:" << error;
        return nullptr;
    }
    m_feeds.insert(id, feed);
    return feed;
}

QImage WlrScreenCapture::snapshot(int id, QSize box) {
    // A live feed has the picture already; otherwise one is taken for the purpose (rare:
    // the thumbnail, once a minute), on a grabber of its own.
    std::shared_ptr<CaptureFeed> live = m_feeds.value(id).lock();
    QImage out;
    QSize size;
    GstBuffer *buf = live ? live->latest(&size) : nullptr;
    WlrFrameGrabber grabber;
    if (!buf) {
        QString error;
        const QRect rect = rectOf(id);
        if (rect.isEmpty() || !grabber.open(rect, &error) || grabber.grab() != FrameGrabber::Grab::Ok)
            return {};
        buf = grabber.picture();
        size = rect.size();
    }
    GstMapInfo map;
    if (buf && gst_buffer_map(buf, &map, GST_MAP_READ)) {
        const QImage view(map.data, size.width(), size.height(), size.width() * 4, QImage::Format_RGB32);
        out = view.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        gst_buffer_unmap(buf, &map);
    }
    if (buf)
        gst_buffer_unref(buf);
    return out;
}
