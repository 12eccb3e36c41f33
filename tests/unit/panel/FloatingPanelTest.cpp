// Placement and the outside-press watch of the floating panel over a
// recording window.

#include <gtest/gtest.h>

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
    std::vector<Rect> frames;
    bool visible = false;
    int watchesStarted = 0;
    std::vector<std::weak_ptr<std::function<void()>>> watches;

    std::optional<Rect> workArea() override { return area; }
    void setFrame(Rect frame) override { frames.push_back(frame); }
    void orderFront() override { visible = true; }
    void orderOut() override { visible = false; }
    bool isVisible() const override { return visible; }
    Watch watchOutsidePresses(std::function<void()> onPress) override {
        ++watchesStarted;
        auto watch = std::make_shared<std::function<void()>>(std::move(onPress));
        watches.push_back(watch);
        return watch;
    }
    int liveWatches() const {
        int live = 0;
        for (const auto& w : watches) live += !w.expired();
        return live;
    }
    // A press elsewhere, delivered to every live watch.
    void pressOutside() {
        for (const auto& w : watches)
            if (auto handler = w.lock()) (*handler)();
    }
};

TEST(FloatingPanelTest, ShowPlacesTheTopRightCornerTwelveInFromTheWorkArea) {
    WindowDouble window;
    panel::FloatingPanel panel(window);
    const std::vector<std::pair<Rect, Rect>> rows{
        {{0, 30, 1280, 770}, {908, 42, 360, 680}},
        {{1280, 0, 1920, 1040}, {2828, 12, 360, 680}},
    };
    for (const auto& [area, frame] : rows) {
        window.area = area;
        panel.show();
        EXPECT_EQ(window.frames.back(), frame);
    }
}

TEST(FloatingPanelTest, OneWatchAtMostWhateverTheOrderOfCalls) {
    WindowDouble window;
    panel::FloatingPanel panel(window);
    panel.hide();
    panel.show();
    panel.show();
    EXPECT_EQ(window.watchesStarted, 2);
    EXPECT_EQ(window.liveWatches(), 1);
    window.pressOutside();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(window.liveWatches(), 0);
    panel.show();
    panel.hide();
    panel.hide();
    EXPECT_EQ(window.liveWatches(), 0);
}

TEST(FloatingPanelTest, WithoutAScreenShowDoesNothing) {
    WindowDouble window;
    window.area.reset();
    panel::FloatingPanel panel(window);
    panel.show();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_TRUE(window.frames.empty());
    EXPECT_EQ(window.watchesStarted, 0);
}

}  // namespace
}  // namespace vell::test
