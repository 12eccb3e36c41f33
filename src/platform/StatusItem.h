#pragma once
// The program's item in the desktop's tray: an icon with a tooltip and an
// optional title beside it, a primary click and a menu that is built at the
// moment it opens.

#include <functional>
#include <string>
#include <vector>

namespace vell::platform {

class StatusItem {
public:
    struct MenuItem {
        std::string title;            // empty for a separator
        std::function<void()> action;  // runs on the main loop
        static MenuItem separator() { return {}; }
        bool isSeparator() const { return title.empty(); }
    };
    using Menu = std::vector<MenuItem>;

    virtual ~StatusItem() = default;

    // Shows the symbol (one of the program's symbol names, e.g. "mic"), with
    // `description` for assistive technology. False when the symbol does not
    // resolve to an image; the item then shows no image.
    virtual bool setImage(const std::string& symbol, const std::string& description) = 0;
    virtual void setToolTip(const std::string& text) = 0;
    // Text shown beside the icon where the tray host can show one.
    virtual void setTitle(const std::string& text) = 0;
    // A left click (or the host's "activate").
    virtual void setOnPrimaryClick(std::function<void()> action) = 0;
    // Builds the menu each time it opens, whether the host opens it or a
    // secondary click does.
    virtual void setMenuProvider(std::function<Menu()> provider) = 0;
    // Whether a tray host shows the item now.
    virtual bool isShown() const = 0;
    // Takes the item off the tray for good.
    virtual void remove() = 0;
};

}  // namespace vell::platform
