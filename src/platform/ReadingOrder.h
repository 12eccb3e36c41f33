#pragma once
// Orders sibling elements as a person reads them: rows from top to bottom,
// each row from left to right. Accessibility trees do not always list
// children in the order they appear on screen (a grid may list them in
// reverse), so a caption found "before" an input in tree order can belong to
// the next row. Elements without a known box keep their place in tree order.

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <optional>
#include <vector>

namespace vell::platform {

struct ScreenBox {
    int x = 0, y = 0, width = 0, height = 0;
    int bottom() const { return y + height; }
    int centreY() const { return y + height / 2; }
};

// Returns the permutation of indices into `boxes` in reading order. When any
// box is unknown, tree order is kept for all: mixing known and unknown
// positions would guess.
inline std::vector<std::size_t> readingOrder(const std::vector<std::optional<ScreenBox>>& boxes) {
    std::vector<std::size_t> order(boxes.size());
    std::iota(order.begin(), order.end(), 0);
    if (std::any_of(boxes.begin(), boxes.end(), [](const auto& b) { return !b; })) return order;

    // Lines: sorted by vertical centre, an element starts a new line when it
    // begins at or below the bottom of everything already on the current one.
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return boxes[a]->centreY() < boxes[b]->centreY(); });
    std::vector<std::size_t> result;
    result.reserve(order.size());
    auto lineStart = order.begin();
    int lineBottom = 0;
    auto flushLine = [&](auto end) {
        std::stable_sort(lineStart, end, [&](std::size_t a, std::size_t b) { return boxes[a]->x < boxes[b]->x; });
        result.insert(result.end(), lineStart, end);
    };
    for (auto it = order.begin(); it != order.end(); ++it) {
        const ScreenBox& box = *boxes[*it];
        if (it != lineStart && box.y >= lineBottom) {
            flushLine(it);
            lineStart = it;
            lineBottom = box.bottom();
        } else {
            lineBottom = std::max(lineBottom, box.bottom());
        }
    }
    flushLine(order.end());
    return result;
}

}  // namespace vell::platform
