// Placement and the outside-press watch of the floating panel over a
// recording window.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "panel/FloatingPanel.h"

namespace vell::panel {
namespace {

using Rect = platform::PanelWindow::Rect;

struct WindowDouble : platform::PanelWindow {
    std::optional<Rect> area, frame;
    bool visible = false;
    std::weak_ptr<std::function<void()>> watch;  // the newest
    int watches = 0;

    std::optional<Rect> workArea() override { return area; }
    void setFrame(Rect f) override { frame = f; }
    void orderFront() override { visible = true; }
    void orderOut() override { visible = false; }
    bool isVisible() const override { return visible; }
    Watch watchOutsidePresses(std::function<void()> onPress) override {
        auto newest = std::make_shared<std::function<void()>>(std::move(onPress));
        // The one before must be gone by now: never two watches at once.
        if (!watch.expired()) ++watches;
        watch = newest;
        return newest;
    }
};

TEST(FloatingPanelTest, ShowsTwelveInFromTheWorkAreasTopRightWithOneWatchAtMost) {
    WindowDouble window;
    FloatingPanel panel(window);
    panel.show();
    EXPECT_FALSE(window.visible || window.frame || !window.watch.expired()) << "no screen: nothing happens";
    const std::pair<Rect, Rect> rows[] = {{{0, 30, 1280, 770}, {908, 42, 360, 680}},
                                          {{1280, 0, 1920, 1040}, {2828, 12, 360, 680}}};
    for (const auto& [area, frame] : rows) {
        window.area = area;
        panel.show();
        EXPECT_EQ(window.frame, frame);
    }
    EXPECT_EQ(window.watches, 0);
    (*window.watch.lock())();  // a press elsewhere
    EXPECT_FALSE(panel.isVisible());
    EXPECT_TRUE(window.watch.expired());
}

}  // namespace
}  // namespace vell::panel
