#include "style/SymbolIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <functional>

namespace {
// Draws on a 32 × 32 canvas (scaled down by the icon engine as needed).
QIcon drawn(const std::function<void(QPainter &)> &paint) {
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(2, 2);
    paint(p);
    p.end();
    return QIcon(pm);
}

QPen pen(const QColor &c, double w = 2.5) {
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}
} // namespace

namespace SymbolIcons {

QIcon dot(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(1, 1, 30, 30));
    });
}

QIcon warning(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color));
        p.setBrush(Qt::NoBrush);
        p.drawPolygon(QPolygonF{{16, 3}, {30, 28}, {2, 28}});
        p.drawLine(QPointF(16, 11), QPointF(16, 19));
        p.setBrush(color);
        p.drawEllipse(QPointF(16, 23.5), 1.2, 1.2);
    });
}

QIcon camera(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color, 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(3, 9, 26, 18), 3, 3);
        p.drawRect(QRectF(11, 5, 10, 4));
        p.drawEllipse(QPointF(16, 18), 5, 5);
    });
}

QIcon speaker(bool muted, const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color, 2.2));
        p.setBrush(color);
        p.drawPolygon(QPolygonF{{3, 12}, {9, 12}, {16, 6}, {16, 26}, {9, 20}, {3, 20}});
        p.setBrush(Qt::NoBrush);
        if (muted) {
            p.drawLine(QPointF(20, 11), QPointF(29, 21));
            p.drawLine(QPointF(29, 11), QPointF(20, 21));
        } else {
            p.drawArc(QRectF(14, 10, 10, 12), -60 * 16, 120 * 16);
            p.drawArc(QRectF(12, 5, 18, 22), -60 * 16, 120 * 16);
        }
    });
}

QIcon disconnected(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color, 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(2, 2, 28, 28));
        p.setBrush(color);
        p.drawPolygon(QPolygonF{{18, 6}, {10, 17}, {15, 17}, {13, 26}, {22, 14}, {17, 14}});
    });
}

QIcon computer(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color, 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(3, 5, 26, 17), 2, 2);
        p.drawLine(QPointF(16, 22), QPointF(16, 27));
        p.drawLine(QPointF(10, 27), QPointF(22, 27));
    });
}

QIcon star(bool filled, const QColor &color) {
    return drawn([&](QPainter &p) {
        QPolygonF poly;
        for (int i = 0; i < 10; ++i) {
            const double r = i % 2 == 0 ? 14 : 6;
            const double a = -M_PI / 2 + i * M_PI / 5;
            poly << QPointF(16 + r * std::cos(a), 17 + r * std::sin(a));
        }
        p.setPen(pen(color, 2));
        p.setBrush(filled ? QBrush(color) : QBrush(Qt::NoBrush));
        p.drawPolygon(poly);
    });
}

QIcon pencil(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color, 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawPolygon(QPolygonF{{6, 26}, {8, 19}, {22, 5}, {27, 10}, {13, 24}});
        p.drawLine(QPointF(19, 8), QPointF(24, 13));
    });
}

QIcon trash(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(pen(color, 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(5, 8), QPointF(27, 8));
        p.drawRect(QRectF(12, 4, 8, 4));
        p.drawPolygon(QPolygonF{{8, 8}, {10, 28}, {22, 28}, {24, 8}});
        p.drawLine(QPointF(14, 13), QPointF(14, 23));
        p.drawLine(QPointF(18, 13), QPointF(18, 23));
    });
}

QIcon play(const QColor &color) {
    return drawn([&](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(QPolygonF{{8, 5}, {27, 16}, {8, 27}});
    });
}

} // namespace SymbolIcons
