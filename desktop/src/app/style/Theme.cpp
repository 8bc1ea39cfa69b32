#include "style/UiFonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>

namespace UiFonts {

QFont sized(qreal px, QFont::Weight weight) {
    QFont f = QApplication::font();
    f.setPixelSize(qRound(px));
    f.setWeight(weight);
    return f;
}

QFont mono(qreal px, QFont::Weight weight) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(qRound(px));
    f.setWeight(weight);
    return f;
}

QFont title3() {
    return sized(15, QFont::Bold);
}
QFont headline() {
    return sized(13, QFont::DemiBold);
}
QFont subheadline() {
    return sized(11);
}
QFont body() {
    return sized(13);
}
QFont callout() {
    return sized(12);
}
QFont caption() {
    return sized(10);
}
QFont caption2() {
    return sized(9);
}

QColor secondary() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.6f);
    return c;
}
QColor green() {
    return QColor(0x28, 0xa7, 0x45);
}
QColor orange() {
    return QColor(0xe0, 0x7b, 0x00);
}
QColor red() {
    return QColor(0xd7, 0x26, 0x2b);
}

QString css(const QColor &c) {
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alphaF());
}

} // namespace UiFonts
