#include "session/MonitorView.h"

#include <cmath>

MonitorView::MonitorView(int win, int monitorId, double scale, Link link, QObject *parent)
    : QObject(parent), m_win(win), m_monitorId(monitorId), m_scale(scale), m_link(std::move(link)) {}

void MonitorView::setScale(double scale) {
    if (!std::isfinite(scale) || std::abs(scale - m_scale) < 1e-9)
        return;
    m_scale = scale;
    Q_EMIT scaleChanged();
    if (!m_ended && m_link.reopen)
        m_link.reopen();
}

void MonitorView::sendInput(const QJsonObject &message) {
    if (m_ended || !m_link.sendInput)
        return;
    QJsonObject routed = message;
    routed.insert(QLatin1String("win"), m_win);
    m_link.sendInput(routed);
}

void MonitorView::showFrame(const QImage &image, QSize size) {
    if (m_ended)
        return;
    ++m_frames;
    m_image = image;
    Q_EMIT imageChanged();
    if (QSizeF(size) != m_frameSize) {
        m_frameSize = QSizeF(size);
        Q_EMIT frameSizeChanged();
    }
}

void MonitorView::end(const QString &text) {
    if (m_ended)
        return;
    m_ended = true;
    m_endText = text;
    m_image = QImage();
    Q_EMIT imageChanged();
    Q_EMIT endedChanged();
}
