#pragma once
// Icons by the symbol names the window's vocabulary uses ("plus", "repeat",
// "arrow.down.circle", ...). The window draws its own bundled SVG set so that it looks the
// same on every desktop; menu entries prefer the desktop's freedesktop theme icon where a
// standard one fits and fall back to the bundled drawing.

#include <QIcon>
#include <QString>

namespace corvaline::ui::icons {

/// The bundled icon for `symbol`; an empty icon for an unknown name.
QIcon icon(const QString& symbol);
/// Resource path of the bundled drawing, ":/icons/<symbol>.svg".
QString path(const QString& symbol);
/// The freedesktop theme icon name that fits `symbol`, or empty.
QString freedesktopName(const QString& symbol);
/// For menus: the theme's icon by freedesktopName(symbol), else the bundled drawing.
QIcon menuIcon(const QString& symbol);
/// The application icon (the product mark).
QIcon applicationIcon();

}  // namespace corvaline::ui::icons
