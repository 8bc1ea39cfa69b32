#include "style/VelmoMark.h"

#include "style/Theme.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int kPoints = 18;
constexpr qreal kScale = 2.0;

QHash<QString, QImage> &cache() {
    static QHash<QString, QImage> images;
    return images;
}

int &drawn() {
    static int n = 0;
    return n;
}

// An arc in the canvas's upward coordinates, from `from` to `to` degrees counter-clockwise.
QPainterPath arc(QPointF c, qreal r, qreal from, qreal to) {
    QPainterPath path;
    const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
    // Qt measures angles with y pointing down; the canvas is flipped, so negate.
    path.arcMoveTo(box, -from);
    path.arcTo(box, -from, -(to - from));
    return path;
}

// The mark is drawn as an opaque stencil (only its alpha counts) and tinted afterwards
// with the ink of the panel, so black here is no colour of the theme.
QPen pen(qreal width) {
    QPen p(Qt::black, width);
    p.setCapStyle(Qt::RoundCap);
    p.setJoinStyle(Qt::RoundJoin);
    return p;
}

} // namespace

namespace VelmoMark {

QString caseName(Style style) {
    switch (style) {
    case Style::idle:
        return QStringLiteral("idle");
    case Style::busy:
        return QStringLiteral("busy");
    case Style::off:
        return QStringLiteral("off");
    }
    return {};
}

void draw(QPainter &p, Style style) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    // The drawing is laid out with the origin at the bottom-left corner.
    p.translate(0, kPoints);
    p.scale(1, -1);
    p.setBrush(Qt::NoBrush);

    // Waves above the screen.
    p.setPen(pen(1.2));
    p.drawPath(arc({9, 11.4}, 4.0, 35, 145));
    p.setPen(pen(1.1));
    p.drawPath(arc({9, 11.4}, 6.6, 35, 145));

    // The screen.
    const QRectF screen(2.2, 3.4, 13.6, 8.6);
    QPen screenPen(Qt::black, 1.5);
    if (style == Style::busy) {
        p.setPen(screenPen);
        p.setBrush(Qt::black);
    } else {
        p.setPen(screenPen);
        p.setBrush(Qt::NoBrush);
    }
    p.drawRoundedRect(screen, 1.6, 1.6);
    p.setBrush(Qt::NoBrush);

    // The stand.
    p.setPen(pen(1.4));
    p.drawLine(QPointF(9, 3.4), QPointF(9, 1.9));
    p.drawLine(QPointF(6.2, 1.6), QPointF(11.8, 1.6));

    // The pointer.
    const QPolygonF pointer({{7.1, 10.3}, {7.1, 5.4}, {8.5, 6.7}, {9.5, 4.9}, {10.7, 5.5}, {9.6, 7.2}, {11.5, 7.4}});
    p.setPen(Qt::NoPen);
    if (style == Style::busy) {
        p.save();
        p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        p.setBrush(Qt::black);
        p.drawPolygon(pointer);
        p.restore();
    } else {
        p.setBrush(Qt::black);
        p.drawPolygon(pointer);
    }
    if (style == Style::off) {
        p.setBrush(Qt::NoBrush);
        p.setPen(pen(1.6));
        p.drawLine(QPointF(2.6, 1.6), QPointF(15.4, 13.6));
    }
    p.restore();
}

QImage image(Style style) {
    const QString key = caseName(style);
    auto it = cache().constFind(key);
    if (it != cache().constEnd())
        return *it;
    QImage img(int(kPoints * kScale), int(kPoints * kScale), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    img.setDevicePixelRatio(kScale);
    {
        QPainter p(&img);
        draw(p, style);
    }
    ++drawn();
    cache().insert(key, img);
    return img;
}

int drawnCount() {
    return drawn();
}

QIcon icon(Style style, const QColor &ink) {
    const QImage mask = image(style);
    auto tinted = [&](const QColor &c) {
        QImage out = mask;
        QPainter p(&out);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(QRectF(0, 0, kPoints, kPoints), c);
        return out;
    };
    const QColor halo = Theme::halo(ink);
    QImage out(mask.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    out.setDevicePixelRatio(kScale);
    {
        QPainter p(&out);
        const QImage h = tinted(halo);
        for (QPointF d : {QPointF(-0.5, 0), QPointF(0.5, 0), QPointF(0, -0.5), QPointF(0, 0.5)})
            p.drawImage(d, h);
        p.drawImage(QPointF(0, 0), tinted(ink));
    }
    QIcon result;
    result.addPixmap(QPixmap::fromImage(out));
    return result;
}

} // namespace VelmoMark
