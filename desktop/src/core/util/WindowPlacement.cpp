#include "util/WindowPlacement.h"

#include <algorithm>

namespace WindowPlacement {

QPoint centred(const QRect &area, const QSize &size) {
    return {area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2};
}

QPoint askWindow(const QRect &visible, const QSize &size, int index) {
    const QPoint c = centred(visible, size);
    // 64-bit so that a huge index cannot overflow before the clamp.
    const qint64 y = qint64(c.y()) - qint64(std::max(index, 0)) * 24;
    return {c.x(), int(std::max<qint64>(y, qint64(visible.y()) + 8))};
}

QPoint profileWindow(const QRect &visible, const QSize &size, int index) {
    index = std::max(index, 0);
    const int x = visible.x() + visible.width() - size.width() - 16;
    const qint64 bottom = qint64(visible.y()) + visible.height();
    qint64 top = bottom - 16 - qint64(size.height() + 8) * index - size.height();
    if (top < visible.y())
        top = bottom - 16 - qint64(index % 6) * 28 - size.height();
    return {x, int(top)};
}

QRect noticeBar(const QRect &full, const QRect &visible, const QSize &size) {
    const int midX = full.x() + full.width() / 2;
    return {midX - size.width() / 2, visible.y() + 2, size.width(), size.height()};
}

} // namespace WindowPlacement
