#pragma once

#include <QIcon>
#include <QString>

namespace kestrel::ui {

// Icons by theme name, with the bundled SVG of the same name as the fallback: a tray host gets the
// name (and recolours it) when the theme has the icon.
QIcon statusIcon(const QString& name);
QIcon applicationIcon();

}  // namespace kestrel::ui
