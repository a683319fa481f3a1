#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <vector>

namespace kestrel::ui {

struct ScreenArea {
    QRect geometry;
    QRect available;  // without panels
};

// Where a popover of `size` goes for a click at `anchor`: on the screen under the anchor (the
// nearest one when none contains it), on the side of the panel, the side the screen's available
// area is cut from, or else of the nearest screen edge; next to the anchor and clamped into the
// available area.
QPoint popoverPosition(QPoint anchor, QSize size, const std::vector<ScreenArea>& screens);

}  // namespace kestrel::ui
