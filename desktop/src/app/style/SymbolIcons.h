#pragma once

#include <QColor>
#include <QIcon>

// Small symbols of the viewer panels, drawn in a given colour so they read on
// any theme (and exist where no icon theme is installed). The freedesktop icon
// of the same meaning is used when the theme has one.
namespace SymbolIcons {
QIcon dot(const QColor &color);
QIcon warning(const QColor &color);
QIcon camera(const QColor &color);
QIcon speaker(bool muted, const QColor &color);
QIcon disconnected(const QColor &color);
QIcon computer(const QColor &color);
QIcon star(bool filled, const QColor &color);
QIcon pencil(const QColor &color);
QIcon trash(const QColor &color);
QIcon play(const QColor &color);
} // namespace SymbolIcons
