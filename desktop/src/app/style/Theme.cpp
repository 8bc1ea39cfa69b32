#include "style/Theme.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>

namespace Theme {

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

QColor accent() {
    return QColor(0x0a, 0x84, 0xff);
}
QColor accentDisabled() {
    return QColor(0x7f, 0xb8, 0xf5);
}
QColor success() {
    return QColor(0x34, 0xc7, 0x59);
}
QColor warning() {
    return QColor(0xff, 0x95, 0x00);
}
QColor destructive() {
    return QColor(0xff, 0x3b, 0x30);
}
QColor favorite() {
    return QColor(0xff, 0xcc, 0x00);
}

QColor onFill() {
    return QColor(0xff, 0xff, 0xff);
}
QColor screenBackground() {
    return QColor(0x00, 0x00, 0x00);
}
QColor screenText() {
    return QColor(0xff, 0xff, 0xff);
}
QColor cursorFill() {
    return QColor(0xff, 0xff, 0xff);
}
QColor cursorOutline() {
    return QColor(0x00, 0x00, 0x00);
}
QColor noticePlate() {
    QColor c = QColor::fromRgbF(0.70f, 0.12f, 0.13f);
    c.setAlphaF(0.92f);
    return c;
}
QColor toastPlate() {
    return QColor(30, 30, 30, 220);
}
QColor halo(const QColor &ink) {
    return ink.lightness() > 127 ? QColor(0, 0, 0, 110) : QColor(255, 255, 255, 110);
}

QString primaryButtonCss(int padV, int padH) {
    return QStringLiteral("QPushButton { background: %1; color: %5; border-radius: 5px; padding: %2px %3px; }"
                          "QPushButton:disabled { background: %4; }")
        .arg(accent().name())
        .arg(padV)
        .arg(padH)
        .arg(accentDisabled().name(), onFill().name());
}

QString css(const QColor &c) {
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alphaF());
}

} // namespace Theme
