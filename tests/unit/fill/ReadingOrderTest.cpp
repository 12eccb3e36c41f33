#include "platform/ReadingOrder.h"

#include <gtest/gtest.h>

using vell::platform::readingOrder;
using vell::platform::ScreenBox;
using Boxes = std::vector<std::optional<ScreenBox>>;
using Order = std::vector<std::size_t>;

TEST(ReadingOrder, GridListedInReverseReadsRowByRowCaptionFirst) {
    // Two rows of caption (centred, shorter) + entry, listed last-first.
    Boxes boxes{
        ScreenBox{120, 44, 200, 30},  // 0: entry, row 2
        ScreenBox{10, 50, 80, 17},    // 1: caption, row 2
        ScreenBox{120, 4, 200, 30},   // 2: entry, row 1
        ScreenBox{10, 10, 80, 17},    // 3: caption, row 1
    };
    EXPECT_EQ(readingOrder(boxes), (Order{3, 2, 1, 0}));
}

TEST(ReadingOrder, TreeOrderIsKeptWhenAnyBoxIsUnknownOrBoxesTie) {
    Boxes unknown{ScreenBox{0, 50, 10, 10}, std::nullopt, ScreenBox{0, 0, 10, 10}};
    EXPECT_EQ(readingOrder(unknown), (Order{0, 1, 2}));
    Boxes same{ScreenBox{0, 0, 0, 0}, ScreenBox{0, 0, 0, 0}, ScreenBox{0, 0, 0, 0}};
    EXPECT_EQ(readingOrder(same), (Order{0, 1, 2}));
    EXPECT_TRUE(readingOrder({}).empty());
}

TEST(ReadingOrder, ColumnsOfOneRowReadLeftToRight) {
    Boxes boxes{ScreenBox{300, 0, 50, 20}, ScreenBox{0, 2, 50, 16}, ScreenBox{150, 0, 50, 25},
                ScreenBox{0, 40, 50, 20}};
    EXPECT_EQ(readingOrder(boxes), (Order{1, 2, 0, 3}));
}
