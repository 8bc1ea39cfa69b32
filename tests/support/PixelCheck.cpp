#include "support/PixelCheck.h"

#include <QImage>

#include <cstdlib>

bool PixelCheck::near(QRgb px, const QColor &want, int tolerance) {
    return std::abs(qRed(px) - want.red()) <= tolerance && std::abs(qGreen(px) - want.green()) <= tolerance &&
           std::abs(qBlue(px) - want.blue()) <= tolerance;
}

QString PixelCheck::mismatch(const QImage &img, const QList<QPair<QPoint, QColor>> &expected, int tolerance) {
    for (const auto &[p, c] : expected) {
        if (!img.rect().contains(p))
            return QStringLiteral("no picture at %1,%2").arg(p.x()).arg(p.y());
        const QRgb px = img.pixel(p);
        if (!near(px, c, tolerance))
            return QStringLiteral("%1,%2 is %3 %4 %5")
                .arg(p.x())
                .arg(p.y())
                .arg(qRed(px))
                .arg(qGreen(px))
                .arg(qBlue(px));
    }
    return {};
}
