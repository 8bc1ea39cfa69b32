#include "support/FrameCode.h"

#include <QPainter>

void FrameCode::paint(QPainter &p, quint16 n) {
    for (int i = 0; i < 2 * bits; ++i) {
        const bool bit = ((n >> (i % bits)) & 1) != (i >= bits);
        p.fillRect(left + i * block, top, block, block, bit ? Qt::black : Qt::white);
    }
}

std::optional<quint16> FrameCode::read(const uchar *bgrx, int w, int h, int stride, QSize screen) {
    if (screen.isEmpty())
        return std::nullopt;
    const double sx = double(w) / screen.width(), sy = double(h) / screen.height();
    quint32 found = 0;
    for (int i = 0; i < 2 * bits; ++i) {
        const int cx = int((left + i * block + block / 2) * sx), cy = int((top + block / 2) * sy);
        int sum = 0, count = 0;
        for (int y = cy - 3; y <= cy + 3; ++y)
            for (int x = cx - 3; x <= cx + 3; ++x) {
                if (x < 0 || y < 0 || x >= w || y >= h)
                    return std::nullopt;
                const uchar *px = bgrx + y * stride + x * 4;
                sum += (px[0] + px[1] + px[2]) / 3;
                ++count;
            }
        const int mean = sum / count;
        if (mean > 80 && mean < 176)
            return std::nullopt; // neither black nor white: a block in transition
        if (mean <= 80)
            found |= 1u << i;
    }
    const quint16 n = quint16(found & 0xffff), check = quint16(found >> bits);
    if (quint16(~n) != check)
        return std::nullopt;
    return n;
}
