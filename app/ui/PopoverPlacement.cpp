#include "app/ui/PopoverPlacement.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kestrel::ui {

namespace {

enum class Edge { top, bottom, left, right };

int distance(const QRect& rect, QPoint point) {
    const int dx = std::max({rect.left() - point.x(), 0, point.x() - rect.right()});
    const int dy = std::max({rect.top() - point.y(), 0, point.y() - rect.bottom()});
    return dx + dy;
}

Edge panelEdge(const ScreenArea& screen, QPoint anchor) {
    const QRect& g = screen.geometry;
    const QRect& a = screen.available;
    // The widest strip the panels take from the screen names the panel's edge.
    const std::array<std::pair<int, Edge>, 4> cuts = {{
        {a.top() - g.top(), Edge::top},
        {g.bottom() - a.bottom(), Edge::bottom},
        {a.left() - g.left(), Edge::left},
        {g.right() - a.right(), Edge::right},
    }};
    const auto widest = std::max_element(cuts.begin(), cuts.end(),
                                         [](auto x, auto y) { return x.first < y.first; });
    if (widest->first > 0) {
        return widest->second;
    }
    const std::array<std::pair<int, Edge>, 4> gaps = {{
        {anchor.y() - g.top(), Edge::top},
        {g.bottom() - anchor.y(), Edge::bottom},
        {anchor.x() - g.left(), Edge::left},
        {g.right() - anchor.x(), Edge::right},
    }};
    return std::min_element(gaps.begin(), gaps.end(),
                            [](auto x, auto y) { return x.first < y.first; })
        ->second;
}

}  // namespace

QPoint popoverPosition(QPoint anchor, QSize size, const std::vector<ScreenArea>& screens) {
    if (screens.empty()) {
        return anchor;
    }
    const ScreenArea* screen = &screens.front();
    int best = std::numeric_limits<int>::max();
    for (const auto& candidate : screens) {
        const int d = distance(candidate.geometry, anchor);
        if (d < best) {
            best = d;
            screen = &candidate;
        }
    }
    QPoint pos;
    switch (panelEdge(*screen, anchor)) {
        case Edge::top:
            pos = {anchor.x() - size.width() / 2, anchor.y()};
            break;
        case Edge::bottom:
            pos = {anchor.x() - size.width() / 2, anchor.y() - size.height()};
            break;
        case Edge::left:
            pos = {anchor.x(), anchor.y() - size.height() / 2};
            break;
        case Edge::right:
            pos = {anchor.x() - size.width(), anchor.y() - size.height() / 2};
            break;
    }
    const QRect& a = screen->available;
    pos.setX(std::clamp(pos.x(), a.left(), std::max(a.left(), a.right() + 1 - size.width())));
    pos.setY(std::clamp(pos.y(), a.top(), std::max(a.top(), a.bottom() + 1 - size.height())));
    return pos;
}

}  // namespace kestrel::ui
