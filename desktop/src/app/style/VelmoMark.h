#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

class QPainter;

// The tray mark: a screen with waves above it and a pointer on it.
namespace VelmoMark {
enum class Style { idle, busy, off };

QString caseName(Style style);
// Draws into an 18 × 18 canvas at the painter's origin, in black.
void draw(QPainter &painter, Style style);
// The mark as an 18 × 18 point template (black on transparent, 2x pixels),
// drawn once per style for the life of the process.
QImage image(Style style);
// The template tinted for a panel, with a faint halo in the opposite colour
// so it reads on light and dark panels alike.
QIcon icon(Style style, const QColor &ink);
// How many templates have been drawn so far.
int drawnCount();
} // namespace VelmoMark
