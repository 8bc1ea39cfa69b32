#pragma once

#include <QColor>
#include <QList>
#include <QPair>
#include <QPoint>
#include <QString>

class QImage;

// Colours expected at points of a picture, each channel within a tolerance.
class PixelCheck {
public:
    static bool near(QRgb px, const QColor &want, int tolerance);
    // Empty when every point has its colour; else the first that does not ("x,y is r g b",
    // or "no picture at x,y" for a point outside).
    static QString mismatch(const QImage &img, const QList<QPair<QPoint, QColor>> &expected, int tolerance);
};
