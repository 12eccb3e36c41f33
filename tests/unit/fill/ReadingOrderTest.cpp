#include "platform/ReadingOrder.h"

#include <gtest/gtest.h>

using vell::platform::readingOrder;
using vell::platform::ScreenBox;
using Boxes = std::vector<std::optional<ScreenBox>>;
using Order = std::vector<std::size_t>;

TEST(ReadingOrder, ReadsRowByRowLeftToRightAndKeepsTreeOrderWhenUnsure) {
    const struct {
        const char* what;
        Boxes boxes;
        Order order;
    } cases[] = {
        // Caption (centred, shorter) + entry, two rows listed last-first.
        {"grid in reverse",
         {ScreenBox{120, 44, 200, 30}, ScreenBox{10, 50, 80, 17}, ScreenBox{120, 4, 200, 30},
          ScreenBox{10, 10, 80, 17}},
         {3, 2, 1, 0}},
        {"columns of one row",
         {ScreenBox{300, 0, 50, 20}, ScreenBox{0, 2, 50, 16}, ScreenBox{150, 0, 50, 25}, ScreenBox{0, 40, 50, 20}},
         {1, 2, 0, 3}},
        {"a box unknown", {ScreenBox{0, 50, 10, 10}, std::nullopt, ScreenBox{0, 0, 10, 10}}, {0, 1, 2}},
        {"boxes tie", {ScreenBox{0, 0, 0, 0}, ScreenBox{0, 0, 0, 0}, ScreenBox{0, 0, 0, 0}}, {0, 1, 2}},
        {"none", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(readingOrder(c.boxes), c.order) << c.what;
}
