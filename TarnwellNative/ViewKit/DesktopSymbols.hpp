// The symbols that the window names by their platform symbol names
// ("folder", "xmark.octagon.fill", ...), drawn from the Adwaita icon theme.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tarnwell::DesktopSymbols {

// The freedesktop icon name for a symbol name; empty when there is none.
QString iconName(const QString& symbol);

// Makes the Adwaita theme reachable on every platform plugin (the offscreen
// one has no theme search paths of its own) and sets it as the fallback.
// Safe to call more than once; every function below calls it.
void installIconTheme();

QIcon icon(const QString& symbol);

// The symbol at `size` pixels (device-independent), painted in `color`.
QPixmap tinted(const QString& symbol, int size, const QColor& color, qreal devicePixelRatio = 1.0);

}  // namespace tarnwell::DesktopSymbols
