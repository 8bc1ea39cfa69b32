#pragma once

#include <QColor>
#include <QFont>

// The text styles the host-side windows use, sized in pixels so that one
// layout point is one pixel at 1x.
namespace UiFonts {
QFont sized(qreal px, QFont::Weight weight = QFont::Normal);
QFont mono(qreal px, QFont::Weight weight = QFont::Normal);
QFont title3();      // 15 px bold
QFont headline();    // 13 px semibold
QFont subheadline(); // 11 px
QFont body();        // 13 px
QFont callout();     // 12 px
QFont caption();     // 10 px
QFont caption2();    // 9 px

QColor secondary();
QColor green();
QColor orange();
QColor red();
QString css(const QColor &c);
} // namespace UiFonts
