#include "sharing/PanelWidgets.h"

#include "style/Theme.h"

#include <QApplication>
#include <QLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>

namespace PanelWidgets {

QString bounded(const QString &s, int max) {
    return s.size() > max ? s.left(max) + QStringLiteral("…") : s;
}

qsizetype graphemes(const QString &s) {
    QTextBoundaryFinder f(QTextBoundaryFinder::Grapheme, s);
    qsizetype n = 0;
    while (f.toNextBoundary() > 0)
        ++n;
    return n;
}

QLabel *label(const QString &text, QWidget *parent, const QFont &font) {
    auto *l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    return l;
}

void setColour(QLabel *l, const QColor &c) {
    l->setStyleSheet(QStringLiteral("color: %1").arg(Theme::css(c)));
}

QLabel *caption(const QString &text, QWidget *parent, bool wrap) {
    auto *l = label(text, parent, Theme::caption());
    l->setWordWrap(wrap);
    return l;
}

QLabel *secondaryCaption(const QString &text, QWidget *parent) {
    auto *l = caption(text, parent);
    setColour(l, Theme::secondary());
    return l;
}

void clearLayout(QLayout *layout) {
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        if (QLayout *l = item->layout()) {
            clearLayout(l);
        }
        delete item;
    }
}

// A person with a check mark or a question mark: the picture of a session without an icon.
QPixmap personSymbol(bool authed) {
    const qreal dpr = qApp->devicePixelRatio();
    QPixmap pm(QSize(30, 30) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor c = authed ? Theme::green() : Theme::orange();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QRectF(6, 4, 10, 10));
    QPainterPath body;
    body.moveTo(1, 27);
    body.cubicTo(1, 17, 21, 17, 21, 27);
    body.closeSubpath();
    p.drawPath(body);
    QFont f = Theme::sized(13, QFont::Bold);
    p.setFont(f);
    p.setPen(c);
    p.drawText(QRectF(18, 6, 12, 20), Qt::AlignCenter, authed ? QStringLiteral("✓") : QStringLiteral("?"));
    return pm;
}

// The decoded icon inside a ring.
QPixmap ringedIcon(const QImage &image, bool authed) {
    const qreal dpr = qApp->devicePixelRatio();
    QPixmap pm(QSize(30, 30) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addEllipse(QRectF(1.5, 1.5, 27, 27));
    p.setClipPath(clip);
    p.drawImage(QRectF(1.5, 1.5, 27, 27), image);
    p.setClipping(false);
    p.setPen(QPen(authed ? Theme::green() : Theme::orange(), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(0.75, 0.75, 28.5, 28.5));
    return pm;
}

// A key: the symbol of a controller row.
QPixmap keySymbol() {
    const qreal dpr = qApp->devicePixelRatio();
    QPixmap pm(QSize(18, 18) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor c = Theme::secondary();
    p.setPen(QPen(c, 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(2, 5, 7, 7));
    p.drawLine(QPointF(9, 8.5), QPointF(16, 8.5));
    p.drawLine(QPointF(13.5, 8.5), QPointF(13.5, 12));
    p.drawLine(QPointF(16, 8.5), QPointF(16, 11));
    return pm;
}

QLabel *glyph(const QString &text, const QColor &c, QWidget *parent) {
    auto *l = label(text, parent, Theme::sized(16, QFont::Bold));
    setColour(l, c);
    l->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    l->setFixedWidth(22);
    return l;
}

} // namespace PanelWidgets
