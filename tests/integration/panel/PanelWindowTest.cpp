// The floating panel in a real X session with openbox: where it opens, how it
// floats, what hides it, that it never takes the front position, and what
// its widgets show and do, read and pressed over AT-SPI like a person would.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "integration/fill/FormProcess.h"

// Last: Xlib's macros (None, Status) clash with the names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <atspi/atspi.h>

namespace vell::test {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& done, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// ---- AT-SPI ----------------------------------------------------------------------------------

struct Unref {
    void operator()(AtspiAccessible* a) const { g_object_unref(a); }
};
using Accessible = std::unique_ptr<AtspiAccessible, Unref>;

std::string nameOf(AtspiAccessible* a) {
    gchar* name = atspi_accessible_get_name(a, nullptr);
    std::string result = name ? name : "";
    g_free(name);
    return result;
}

bool showing(AtspiAccessible* a) {
    AtspiStateSet* states = atspi_accessible_get_state_set(a);
    const bool result = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
    g_object_unref(states);
    return result;
}

// The first showing element with this name, depth first.
Accessible find(AtspiAccessible* root, const std::string& name) {
    const int count = atspi_accessible_get_child_count(root, nullptr);
    for (int i = 0; i < count; ++i) {
        Accessible child(atspi_accessible_get_child_at_index(root, i, nullptr));
        if (!child) continue;
        if (nameOf(child.get()) == name && showing(child.get())) return child;
        if (auto found = find(child.get(), name)) return found;
    }
    return nullptr;
}

// ---- X ---------------------------------------------------------------------------------------

struct CloseDisplay {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

class X {
public:
    X() : display_(XOpenDisplay(nullptr)) {}
    Display* get() const { return display_.get(); }

    std::vector<unsigned long> property(Window window, const char* name, Atom type) {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(get(), window, XInternAtom(get(), name, False), 0, 64, False, type, &actual, &format,
                               &count, &remaining, &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + count);
        if (data) XFree(data);
        return values;
    }
    bool viewable(Window window) {
        XWindowAttributes attributes;
        return XGetWindowAttributes(get(), window, &attributes) && attributes.map_state == IsViewable;
    }
    Window activeWindow() {
        auto values = property(DefaultRootWindow(get()), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return values.empty() ? None : values[0];
    }
    void click(int x, int y) {
        XTestFakeMotionEvent(get(), -1, x, y, 0);
        XTestFakeButtonEvent(get(), 1, True, 0);
        XTestFakeButtonEvent(get(), 1, False, 0);
        XSync(get(), False);
    }
    // A dock across the top of the screen that reserves `height` pixels.
    Window dock(int height) {
        Window window = XCreateSimpleWindow(get(), DefaultRootWindow(get()), 0, 0, 1280, height, 0, 0, 0);
        Atom dockType = XInternAtom(get(), "_NET_WM_WINDOW_TYPE_DOCK", False);
        XChangeProperty(get(), window, XInternAtom(get(), "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&dockType), 1);
        long strut[12] = {0, 0, height, 0, 0, 0, 0, 0, 0, 1279, 0, 0};
        XChangeProperty(get(), window, XInternAtom(get(), "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<unsigned char*>(strut), 12);
        XMapWindow(get(), window);
        XSync(get(), False);
        return window;
    }

private:
    std::unique_ptr<Display, CloseDisplay> display_;
};

// ---- the panel in its process ----------------------------------------------------------------

class Panel {
public:
    Panel() : process_({VELL_PANEL_FIXTURE}) { ready_ = process_.waitReady(); }
    bool ready() const { return ready_; }
    pid_t pid() const { return process_.pid(); }
    std::string ask(const std::string& command) { return process_.ask(command).value_or("(no answer)"); }

    // The panel's accessible application, once it is on the accessibility bus.
    AtspiAccessible* app() {
        if (app_) return app_.get();
        waitFor([this] {
            Accessible desktop(atspi_get_desktop(0));
            const int count = atspi_accessible_get_child_count(desktop.get(), nullptr);
            for (int i = 0; i < count && !app_; ++i) {
                Accessible child(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
                if (child && atspi_accessible_get_process_id(child.get(), nullptr) == static_cast<guint>(pid()))
                    app_ = std::move(child);
            }
            return app_ != nullptr;
        });
        return app_.get();
    }
    Accessible element(const std::string& name, double seconds = 5) {
        Accessible found;
        waitFor([&] { return (found = find(app(), name)) != nullptr; }, seconds);
        return found;
    }
    // Waits until no showing element has this name.
    bool gone(const std::string& name) {
        return waitFor([&] { return find(app(), name) == nullptr; }, 5);
    }
    bool press(const std::string& name) {
        auto element = this->element(name);
        if (!element) return false;
        AtspiAction* action = atspi_accessible_get_action_iface(element.get());
        const bool done = action && atspi_action_do_action(action, 0, nullptr);
        if (action) g_object_unref(action);
        return done;
    }
    // The element's centre on the screen.
    std::optional<std::pair<int, int>> centre(const std::string& name) {
        auto element = this->element(name);
        if (!element) return std::nullopt;
        AtspiComponent* component = atspi_accessible_get_component_iface(element.get());
        AtspiRect* r = component ? atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr) : nullptr;
        std::optional<std::pair<int, int>> point;
        if (r) point = std::pair{r->x + r->width / 2, r->y + r->height / 2};
        g_free(r);
        if (component) g_object_unref(component);
        return point;
    }
    int openFiles() const {
        int count = 0;
        for ([[maybe_unused]] auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid()) + "/fd"))
            ++count;
        return count;
    }

private:
    FormProcess process_;
    bool ready_ = false;
    Accessible app_;
};

class PanelWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { atspi_init(); }
    X x;
};

const std::string hideControls = "Hide the controls — the hotkey still works";

TEST_F(PanelWindowTest, OpensAtTheTopRightOfTheWorkAreaAboveEverythingOnEveryWorkspace) {
    Panel panel;
    ASSERT_TRUE(panel.ready());
    panel.ask("show");
    EXPECT_TRUE(waitFor([&] { return panel.ask("frame") == "908 12 360 680"; })) << panel.ask("frame");
    const Window xid = std::stoul(panel.ask("xid"));
    const Atom above = XInternAtom(x.get(), "_NET_WM_STATE_ABOVE", False);
    EXPECT_TRUE(waitFor([&] {
        auto states = x.property(xid, "_NET_WM_STATE", XA_ATOM);
        return std::count(states.begin(), states.end(), above) == 1;
    }));
    // On every workspace: the window manager keeps it on "all desktops".
    const auto desktop = x.property(xid, "_NET_WM_DESKTOP", XA_CARDINAL);
    ASSERT_EQ(desktop.size(), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(desktop[0]), 0xFFFFFFFFu);  // Xlib widens format-32 values to long

    // A dock reserving 40 pixels at the top: the panel opens 12 below it.
    x.dock(40);
    ASSERT_TRUE(waitFor([&] {
        auto area = x.property(DefaultRootWindow(x.get()), "_NET_WORKAREA", XA_CARDINAL);
        return area.size() >= 4 && area[1] == 40;
    }));
    panel.ask("hide");
    panel.ask("show");
    EXPECT_TRUE(waitFor([&] { return panel.ask("frame") == "908 52 360 680"; })) << panel.ask("frame");
}

// The form stays the front window through typing in the panel's web view and
// presses in the panel, so the next paste reaches it; a press elsewhere hides the panel.
TEST_F(PanelWindowTest, NeverTakesTheFrontFromTheFormAndHidesOnPressesElsewhere) {
    FormProcess form({VELL_FORM_FIXTURE});
    ASSERT_TRUE(form.waitReady());
    ASSERT_TRUE(waitFor([&] { return x.activeWindow() != None; }));
    const Window front = x.activeWindow();
    Panel panel;
    ASSERT_TRUE(panel.ready());
    panel.ask("show");
    ASSERT_TRUE(waitFor([&] { return x.viewable(std::stoul(panel.ask("xid"))); }));

    auto web = panel.centre("Web application");
    ASSERT_TRUE(web);
    x.click(web->first, web->second);
    ASSERT_TRUE(waitFor([&] { return x.activeWindow() != front; }));  // the panel takes the keyboard
    const KeyCode key = XKeysymToKeycode(x.get(), XStringToKeysym("x"));
    XTestFakeKeyEvent(x.get(), key, True, 0);
    XTestFakeKeyEvent(x.get(), key, False, 0);
    XSync(x.get(), False);
    EXPECT_TRUE(waitFor([&] { return panel.ask("webtext") == "x"; }));
    EXPECT_EQ(panel.ask("front"), std::to_string(form.pid()));

    panel.ask("insert pasted from the panel");
    EXPECT_TRUE(waitFor([&] {
        const auto values = form.values();
        for (const auto& [name, value] : values.items())
            if (value == "pasted from the panel") return true;
        return false;
    }));
    EXPECT_EQ(x.activeWindow(), front);
    EXPECT_EQ(panel.ask("visible"), "0");

    panel.ask("show");
    ASSERT_TRUE(waitFor([&] { return x.viewable(std::stoul(panel.ask("xid"))); }));
    auto record = panel.centre("Record");
    ASSERT_TRUE(record);
    x.click(record->first, record->second);
    EXPECT_TRUE(waitFor([&] { return panel.ask("phase") == "recording"; }));
    EXPECT_EQ(x.activeWindow(), front);
    EXPECT_EQ(panel.ask("visible"), "1");  // a press inside does not hide it

    // Showing again keeps one watch: one X connection each, never two.
    const int watching = panel.openFiles();
    panel.ask("show");
    EXPECT_EQ(panel.openFiles(), watching);
    x.click(200, 200);  // the form, left of the panel
    EXPECT_TRUE(waitFor([&] { return panel.ask("visible") == "0"; }));
    EXPECT_EQ(panel.openFiles(), watching - 1);
}

TEST_F(PanelWindowTest, WidgetsShowTheStateAndPressesReachTheController) {
    Panel panel;
    ASSERT_TRUE(panel.ready());
    panel.ask("state signed-out");
    panel.ask("show");
    for (const char* name : {"SET UP", "Sign in with your Vell account", "Sign in", "Microphone permission", "Allow",
                             "Grant", "not signed in"})
        EXPECT_TRUE(panel.element(name)) << name;

    panel.ask("state complete");
    EXPECT_TRUE(panel.element("ada@example.com"));
    EXPECT_TRUE(panel.gone("SET UP"));
    ASSERT_TRUE(panel.press("Record"));
    EXPECT_TRUE(waitFor([&] { return panel.ask("phase") == "recording"; }));
    EXPECT_TRUE(panel.element("Stop & insert"));
    EXPECT_TRUE(panel.element("listening…"));
    ASSERT_TRUE(panel.press("Stop & insert"));
    EXPECT_TRUE(waitFor([&] { return panel.ask("phase") == "idle"; }));

    panel.ask("show");  // a dictation long enough to be typed hides the panel first
    panel.ask("state problem");
    ASSERT_TRUE(panel.element("Close problem"));
    EXPECT_TRUE(panel.ask("frame").ends_with(" 360 680")) << panel.ask("frame");  // long texts wrap, never widen it
    ASSERT_TRUE(panel.press("Close problem"));
    EXPECT_TRUE(waitFor([&] { return panel.ask("problem") == "none"; }));
}

TEST_F(PanelWindowTest, CollapsedSurvivesARestart) {
    {
        Panel panel;
        ASSERT_TRUE(panel.ready());
        panel.ask("show");
        ASSERT_TRUE(panel.press(hideControls));
        EXPECT_TRUE(panel.element("Show the recording controls"));
        EXPECT_TRUE(panel.gone("Record"));
        panel.ask("quit");
    }
    Panel again;
    ASSERT_TRUE(again.ready());
    again.ask("show");
    EXPECT_TRUE(again.element("Show the recording controls"));
    ASSERT_TRUE(again.press("Show the recording controls"));  // leave it expanded for the next run
    EXPECT_TRUE(again.element("Record"));
}

// Pictures of four states for a person to look at, in build/screenshots/panel/.
TEST_F(PanelWindowTest, Screenshots) {
    const std::filesystem::path folder = std::filesystem::path(VELL_BINARY_DIR) / "screenshots" / "panel";
    std::filesystem::create_directories(folder);
    Panel panel;
    ASSERT_TRUE(panel.ready());
    panel.ask("show");
    const std::vector<std::pair<std::string, std::string>> states{
        {"signed-out", "Sign in"},
        {"complete", "Record"},
        {"fill-result", "Filled 3 fields in Editor · 2 left empty — review before saving"},
        {"recording", "Stop & insert"}};
    for (const auto& [state, shown] : states) {
        panel.ask("state " + state);
        if (state == "fill-result") {
            ASSERT_TRUE(waitFor([&] { return panel.ask("phase") == "idle" && panel.element("Undo last fill", 0.1); }));
        }
        ASSERT_TRUE(panel.element(shown)) << state;
        std::this_thread::sleep_for(300ms);  // let the meter move and the frame paint
        const std::string frame = panel.ask("frame");
        int fx = 0, fy = 0, fw = 0, fh = 0;
        ASSERT_EQ(std::sscanf(frame.c_str(), "%d %d %d %d", &fx, &fy, &fw, &fh), 4);
        const std::string command = "import -window root -crop " + std::to_string(fw) + "x" + std::to_string(fh) + "+" +
                                    std::to_string(fx) + "+" + std::to_string(fy) + " +repage " +
                                    (folder / (state + ".png")).string();
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
}

}  // namespace
}  // namespace vell::test
