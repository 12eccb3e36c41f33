// The floating panel in a real X session with openbox: where it opens, how it
// floats, what hides it, and that it never takes the front position from the
// form a paste is meant for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Polling.h"
#include "integration/fill/FormProcess.h"

// Last: Xlib's macros (None, Status) clash with the names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <atspi/atspi.h>

namespace vell::test {
namespace {

using Accessible = std::unique_ptr<AtspiAccessible, decltype(&g_object_unref)>;

// The first showing element named `name` under `root`, depth first.
Accessible find(AtspiAccessible* root, const std::string& name) {
    for (int i = 0, count = atspi_accessible_get_child_count(root, nullptr); i < count; ++i) {
        Accessible child(atspi_accessible_get_child_at_index(root, i, nullptr), g_object_unref);
        if (!child) continue;
        gchar* childName = atspi_accessible_get_name(child.get(), nullptr);
        AtspiStateSet* states = atspi_accessible_get_state_set(child.get());
        const bool match = childName && childName == name && atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
        g_free(childName);
        g_object_unref(states);
        if (match) return child;
        if (auto found = find(child.get(), name)) return found;
    }
    return {nullptr, g_object_unref};
}

// The panel in its process, its widgets found over AT-SPI.
class Panel : public FormProcess {
public:
    Panel() : FormProcess({VELL_PANEL_FIXTURE}) { ready = waitReady(); }
    std::string operator()(const std::string& command) { return ask(command).value_or("(no answer)"); }
    Window xid() { return std::stoul((*this)("xid")); }

    // The named element's centre on the screen.
    std::optional<std::pair<int, int>> centre(const std::string& name) {
        Accessible element{nullptr, g_object_unref};
        waitUntil([&] {
            Accessible desktop(atspi_get_desktop(0), g_object_unref);
            for (int i = 0, count = atspi_accessible_get_child_count(desktop.get(), nullptr); i < count; ++i) {
                Accessible app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr), g_object_unref);
                if (app && atspi_accessible_get_process_id(app.get(), nullptr) == static_cast<guint>(pid()))
                    element = find(app.get(), name);
            }
            return element != nullptr;
        });
        AtspiComponent* component = element ? atspi_accessible_get_component_iface(element.get()) : nullptr;
        AtspiRect* r = component ? atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr) : nullptr;
        std::optional<std::pair<int, int>> point;
        if (r) point = std::pair{r->x + r->width / 2, r->y + r->height / 2};
        g_free(r);
        if (component) g_object_unref(component);
        return point;
    }
    // One X connection per outside-press watch shows as one open file.
    int openFiles() const {
        const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid()) + "/fd");
        return static_cast<int>(std::distance(begin(fds), end(fds)));
    }
    bool ready = false;
};

class PanelWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { atspi_init(); }
    ~PanelWindowTest() override { XCloseDisplay(display); }

    std::vector<unsigned long> property(Window window, const char* name, Atom type) {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 64, False, type, &actual, &format,
                               &count, &remaining, &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + count);
        if (data) XFree(data);
        return values;
    }
    Window activeWindow() {
        auto values = property(DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return values.empty() ? None : values[0];
    }
    bool viewable(Window window) {
        XWindowAttributes attributes;
        return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
    }
    void click(std::pair<int, int> at) {
        XTestFakeMotionEvent(display, -1, at.first, at.second, 0);
        XTestFakeButtonEvent(display, 1, True, 0);
        XTestFakeButtonEvent(display, 1, False, 0);
        XSync(display, False);
    }
    // A dock across the top of the screen that reserves `height` pixels.
    void dock(int height) {
        Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1280, height, 0, 0, 0);
        Atom dockType = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DOCK", False);
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<unsigned char*>(&dockType), 1);
        long strut[12] = {0, 0, height, 0, 0, 0, 0, 0, 0, 1279, 0, 0};
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<unsigned char*>(strut), 12);
        XMapWindow(display, window);
        XSync(display, False);
    }

    Display* display = XOpenDisplay(nullptr);
};

TEST_F(PanelWindowTest, OpensAtTheTopRightOfTheWorkAreaAboveEverythingOnEveryWorkspace) {
    dock(40);  // the panel opens 12 below what the dock reserves
    ASSERT_TRUE(waitUntil([&] {
        auto area = property(DefaultRootWindow(display), "_NET_WORKAREA", XA_CARDINAL);
        return area.size() >= 4 && area[1] == 40;
    }));
    Panel panel;
    ASSERT_TRUE(panel.ready);
    panel("show");
    EXPECT_TRUE(waitUntil([&] { return panel("frame") == "908 52 360 680"; })) << panel("frame");
    const Atom above = XInternAtom(display, "_NET_WM_STATE_ABOVE", False);
    EXPECT_TRUE(waitUntil([&] { return std::ranges::count(property(panel.xid(), "_NET_WM_STATE", XA_ATOM), above); }));
    // On every workspace: the window manager keeps it on "all desktops".
    const auto desktop = property(panel.xid(), "_NET_WM_DESKTOP", XA_CARDINAL);
    ASSERT_EQ(desktop.size(), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(desktop[0]), 0xFFFFFFFFu);  // Xlib widens format-32 values to long
}

// The form stays the front window through typing in the panel's web view and
// presses in the panel, so the next paste reaches it; a press elsewhere hides the panel.
TEST_F(PanelWindowTest, NeverTakesTheFrontFromTheFormAndHidesOnPressesElsewhere) {
    FormProcess form({VELL_FORM_FIXTURE});
    ASSERT_TRUE(form.waitReady());
    ASSERT_TRUE(waitUntil([&] { return activeWindow() != None; }));
    const Window front = activeWindow();
    Panel panel;
    ASSERT_TRUE(panel.ready);
    panel("show");
    ASSERT_TRUE(waitUntil([&] { return viewable(panel.xid()); }));

    auto web = panel.centre("Web application");
    ASSERT_TRUE(web);
    click(*web);
    ASSERT_TRUE(waitUntil([&] { return activeWindow() != front; }));  // the panel takes the keyboard
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("x"));
    XTestFakeKeyEvent(display, key, True, 0);
    XTestFakeKeyEvent(display, key, False, 0);
    XSync(display, False);
    EXPECT_TRUE(waitUntil([&] { return panel("webtext") == "x"; }));
    EXPECT_EQ(panel("front"), std::to_string(form.pid()));

    panel("insert pasted from the panel");
    EXPECT_TRUE(waitUntil([&] {
        const auto values = form.values();
        for (const auto& [name, value] : values.items())
            if (value == "pasted from the panel") return true;
        return false;
    }));
    EXPECT_EQ(activeWindow(), front);
    EXPECT_EQ(panel("visible"), "0");

    panel("show");
    ASSERT_TRUE(waitUntil([&] { return viewable(panel.xid()); }));
    auto record = panel.centre("Record");
    ASSERT_TRUE(record);
    click(*record);
    EXPECT_TRUE(waitUntil([&] { return panel("phase") == "recording"; }));
    EXPECT_EQ(activeWindow(), front);
    EXPECT_EQ(panel("visible"), "1");  // a press inside does not hide it

    const int watching = panel.openFiles();
    panel("show");
    EXPECT_EQ(panel.openFiles(), watching) << "showing again keeps one watch";
    click({200, 200});  // the form, left of the panel
    EXPECT_TRUE(waitUntil([&] { return panel("visible") == "0"; }));
    EXPECT_EQ(panel.openFiles(), watching - 1);
}

}  // namespace
}  // namespace vell::test
