// Placement and the outside-press watch of the floating panel over a
// recording window.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "panel/FloatingPanel.h"

namespace vell::test {
namespace {

using Rect = platform::PanelWindow::Rect;

class WindowDouble : public platform::PanelWindow {
public:
    std::optional<Rect> area = Rect{0, 30, 1280, 770};
    std::optional<Rect> frame;
    bool visible = false;
    std::vector<std::weak_ptr<std::function<void()>>> watches;

    std::optional<Rect> workArea() override { return area; }
    void setFrame(Rect f) override { frame = f; }
    void orderFront() override { visible = true; }
    void orderOut() override { visible = false; }
    bool isVisible() const override { return visible; }
    Watch watchOutsidePresses(std::function<void()> onPress) override {
        auto watch = std::make_shared<std::function<void()>>(std::move(onPress));
        watches.push_back(watch);
        return watch;
    }
    int live() const {
        return static_cast<int>(std::count_if(watches.begin(), watches.end(), [](auto& w) { return !w.expired(); }));
    }
};

TEST(FloatingPanelTest, ShowsTwelveInFromTheWorkAreasTopRightWithOneWatchAtMost) {
    WindowDouble window;
    panel::FloatingPanel panel(window);
    panel.hide();
    for (const auto& [area, frame] : std::vector<std::pair<Rect, Rect>>{
             {{0, 30, 1280, 770}, {908, 42, 360, 680}}, {{1280, 0, 1920, 1040}, {2828, 12, 360, 680}}}) {
        window.area = area;
        panel.show();
        EXPECT_EQ(window.frame, frame);
        EXPECT_EQ(window.live(), 1);
    }
    (*window.watches.back().lock())();  // a press elsewhere
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(window.live(), 0);
}

TEST(FloatingPanelTest, WithoutAScreenShowDoesNothing) {
    WindowDouble window;
    window.area.reset();
    panel::FloatingPanel panel(window);
    panel.show();
    EXPECT_FALSE(panel.isVisible() || window.frame || !window.watches.empty());
}

}  // namespace
}  // namespace vell::test
