#pragma once

#include <QRect>
#include <QSize>
#include <QtGlobal>

#include <optional>

class QPainter;

// A frame number painted on a screen and read back from pictures of it, for glass-to-glass
// figures: bit i black (1) or white (0) in block i, then the complement in blocks 16..31,
// so a picture caught half-painted does not read as a number. The strip sits at (left,
// top) of the screen, in blocks of `block` screen pixels.
class FrameCode {
public:
    static constexpr int bits = 16;
    static constexpr int block = 32;
    static constexpr int left = 96;
    static constexpr int top = 96;

    // Where the strip is, in screen pixels.
    static QRect area() { return QRect(left, top, 2 * bits * block, block); }
    // Paints `n` (the painter in screen pixels).
    static void paint(QPainter &p, quint16 n);
    // Reads the number back from a BGRx/RGB32 picture of a whole screen of `screen` size
    // (at any scale); none when the strip is not readable (caught mid-paint, or not there).
    static std::optional<quint16> read(const uchar *bgrx, int w, int h, int stride, QSize screen);
};
