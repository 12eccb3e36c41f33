#pragma once
// Recording fakes of the tray item, the panel's window and the desktop's
// settings, for the application's logic on the virtual loop.

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/PanelWindow.h"
#include "platform/StatusItem.h"
#include "platform/SystemSettings.h"

namespace vell::test {

class FakeStatusItem final : public platform::StatusItem {
public:
    std::optional<std::string> symbol, toolTip, title;
    std::function<void()> primaryClick;
    std::function<Menu()> menuProvider;
    std::vector<std::string> knownSymbols{"mic", "mic.fill", "ellipsis", "square.and.pencil"};

    bool setImage(const std::string& s, const std::string&) override {
        const bool known = std::ranges::find(knownSymbols, s) != knownSymbols.end();
        symbol = known ? std::optional(s) : std::nullopt;
        return known;
    }
    void setToolTip(const std::string& text) override { toolTip = text; }
    void setTitle(const std::string& text) override { title = text; }
    void setOnPrimaryClick(std::function<void()> action) override { primaryClick = std::move(action); }
    void setMenuProvider(std::function<Menu()> provider) override { menuProvider = std::move(provider); }
    bool isShown() const override { return true; }
    void remove() override {}

    // The titles of the menu as it opens now, "-" for a separator.
    std::vector<std::string> menuTitles() const {
        std::vector<std::string> titles;
        for (const auto& item : menuProvider()) titles.push_back(item.isSeparator() ? "-" : item.title);
        return titles;
    }
    void choose(const std::string& itemTitle) const {
        for (const auto& item : menuProvider())
            if (item.title == itemTitle) item.action();
    }
};

class FakePanelWindow final : public platform::PanelWindow {
public:
    std::optional<Rect> area = Rect{0, 0, 1920, 1080};
    std::optional<Rect> frame;
    bool visible = false;

    std::optional<Rect> workArea() override { return area; }
    void setFrame(Rect f) override { frame = f; }
    void orderFront() override { visible = true; }
    void orderOut() override { visible = false; }
    bool isVisible() const override { return visible; }
    Watch watchOutsidePresses(std::function<void()>) override { return std::make_shared<int>(0); }
};

class FakeSystemSettings final : public platform::SystemSettings {
public:
    std::vector<std::string> calls;
    void enableAccessibility() override { calls.push_back("enable"); }
    void openAccessibilitySettings() override { calls.push_back("open"); }
};

}  // namespace vell::test
