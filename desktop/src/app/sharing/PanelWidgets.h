#pragma once

#include "style/Theme.h"

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QString>

class QLayout;
class QWidget;

// The small pieces the host panel is built from: plain-text labels in the
// panel's text styles, and the drawn symbols of its session and controller rows.
namespace PanelWidgets {

// s cut to max characters with an ellipsis.
QString bounded(const QString &s, int max = 200);
// User-perceived characters of s.
qsizetype graphemes(const QString &s);

QLabel *label(const QString &text, QWidget *parent, const QFont &font = Theme::body());
void setColour(QLabel *l, const QColor &c);
QLabel *caption(const QString &text, QWidget *parent, bool wrap = true);
QLabel *secondaryCaption(const QString &text, QWidget *parent);
// A bold one-character symbol in a colour, at the top of a fixed-width column.
QLabel *glyph(const QString &text, const QColor &c, QWidget *parent);
// Removes and deletes every item of layout (nested layouts too).
void clearLayout(QLayout *layout);

// A person with a check mark or a question mark: the picture of a session without an icon.
QPixmap personSymbol(bool authed);
// The decoded icon inside a ring.
QPixmap ringedIcon(const QImage &image, bool authed);
// A key: the symbol of a controller row.
QPixmap keySymbol();

} // namespace PanelWidgets
