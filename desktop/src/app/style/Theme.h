#pragma once

#include <QColor>
#include <QFont>

// The application's look in one place: text styles sized in pixels (one layout
// point is one pixel at 1x) and the colours of states and actions.
namespace Theme {
QFont sized(qreal px, QFont::Weight weight = QFont::Normal);
QFont mono(qreal px, QFont::Weight weight = QFont::Normal);
QFont title3();      // 15 px bold
QFont headline();    // 13 px semibold
QFont subheadline(); // 11 px
QFont body();        // 13 px
QFont callout();     // 12 px
QFont caption();     // 10 px
QFont caption2();    // 9 px

// Secondary text: the window text at 60 %.
QColor secondary();
// State colours of the host-side windows.
QColor green();
QColor orange();
QColor red();
// The viewer's colours: the accent of primary buttons and links (and its
// disabled form), success, warning, destructive actions, favourites.
QColor accent();
QColor accentDisabled();
QColor success();
QColor warning();
QColor destructive();
QColor favorite();
// Text and symbols on a filled colour: primary and destructive buttons, the notice bar,
// the toast.
QColor onFill();
// The remote screen: the surround of the picture, text over it, and the local cursor
// drawn on it (a light arrow with a dark outline, visible on any picture).
QColor screenBackground();
QColor screenText();
QColor cursorFill();
QColor cursorOutline();
// The plates of the host's notice bar and of the viewer's toast.
QColor noticePlate();
QColor toastPlate();
// The halo that sets the tray mark off the panel behind it: dark for light ink, light
// for dark ink.
QColor halo(const QColor &ink);
// "color: …" / "rgba(…)" forms for style sheets.
QString css(const QColor &c);
// A filled primary button with white text, padded vertically by padV and
// horizontally by padH pixels.
QString primaryButtonCss(int padV, int padH);
} // namespace Theme
