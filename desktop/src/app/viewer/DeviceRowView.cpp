#include "viewer/DeviceRowView.h"

#include "style/SymbolIcons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

DeviceRowView::DeviceRowView(const QString &id, QWidget *parent) : QWidget(parent), m_id(id) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(6, 4, 6, 4);
    m_layout->setSpacing(10);
    m_thumb = new QLabel(this);
    m_thumb->setObjectName("thumb");
    m_thumb->setFixedSize(thumbSize);
    m_layout->addWidget(m_thumb);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_title = new QLabel(this);
    m_title->setObjectName("title");
    m_caption = new QLabel(this);
    m_caption->setObjectName("caption");
    QFont small = m_caption->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    m_caption->setFont(small);
    m_caption->setForegroundRole(QPalette::PlaceholderText);
    texts->addStretch();
    texts->addWidget(m_title);
    texts->addWidget(m_caption);
    texts->addStretch();
    m_layout->addLayout(texts);
    m_layout->addStretch();
}

void DeviceRowView::setTitle(const QString &title) {
    m_title->setText(title);
}
void DeviceRowView::setCaption(const QString &caption) {
    m_caption->setText(caption);
}
QString DeviceRowView::title() const {
    return m_title->text();
}
QString DeviceRowView::caption() const {
    return m_caption->text();
}

void DeviceRowView::setThumbnail(const QImage &thumb, bool online) {
    m_thumb->setPixmap(thumbnailBox(thumb, online, palette(), devicePixelRatioF()));
}

void DeviceRowView::addButton(QWidget *button) {
    m_layout->addWidget(button);
}

void DeviceRowView::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        Q_EMIT clicked();
    QWidget::mousePressEvent(event);
}

QPixmap DeviceRowView::thumbnailBox(const QImage &thumb, bool online, const QPalette &palette, qreal dpr) {
    const QSizeF size(thumbSize);
    QImage pm((size * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF box(0.5, 0.5, size.width() - 1, size.height() - 1);
    QPainterPath rounded;
    rounded.addRoundedRect(box, 6, 6);
    const QColor secondary = palette.color(QPalette::PlaceholderText);
    const QColor green(52, 199, 89);
    if (!thumb.isNull()) {
        // Scaled to fill the box, the overflow cut off.
        const QSizeF scaled = QSizeF(thumb.size()).scaled(size, Qt::KeepAspectRatioByExpanding);
        const QRectF target((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2, scaled.width(),
                            scaled.height());
        p.save();
        p.setClipPath(rounded);
        p.drawImage(target, thumb);
        p.restore();
    } else {
        QColor fill = secondary;
        fill.setAlphaF(0.12);
        p.fillPath(rounded, fill);
        const QIcon symbol = SymbolIcons::computer(online ? green : secondary);
        const QRectF iconRect(size.width() / 2 - 12, size.height() / 2 - 12, 24, 24);
        symbol.paint(&p, iconRect.toRect());
    }
    QColor outline = online ? green : secondary;
    if (!online)
        outline.setAlphaF(0.4);
    p.setPen(QPen(outline, 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(rounded);
    p.end();
    return QPixmap::fromImage(pm);
}
