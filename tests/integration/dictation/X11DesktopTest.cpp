// The X11 desktop against a real X server and session bus: which process is
// in front, what it is called, when it has gone, accessibility trust, and the
// default handler of a web address.

// gtest first: Xlib defines macros (None, Status) that clash with its names.
#include <gtest/gtest.h>

#include "ChildProcesses.h"
#include "Polling.h"
#include "platform/linux/X11Desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path env(const char* name) {
    const char* value = std::getenv(name);
    return value ? fs::path(value) : fs::path();
}

// A process that stands in for another application: the test creates its
// windows and labels them with its process id.
struct StandIn : vell::test::ChildProcess {
    StandIn() : ChildProcess({"sleep", "300"}) {
        // Spawning returns before the child has become "sleep".
        vell::test::waitUntil([this] {
            std::string name;
            return std::getline(std::ifstream("/proc/" + std::to_string(pid()) + "/comm"), name) && name == "sleep";
        });
    }
};

class X11DesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A desktop entry for the window class "vellnamed", written before GIO
        // first reads the application folders, and a handler for the scheme
        // "vellprobe" that writes the address it was given.
        const auto applications = env("XDG_DATA_HOME") / "applications";
        fs::create_directories(applications);
        std::ofstream(applications / "vellnamed.desktop")
            << "[Desktop Entry]\nType=Application\nName=Vell Named Editor\nExec=true\n";
        const auto script = env("VELL_SESSION_DIR") / "opener.sh";
        std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << opened().string() << "\"\n";
        fs::permissions(script, fs::perms::owner_all);
        std::ofstream(applications / "vellprobe-opener.desktop")
            << "[Desktop Entry]\nType=Application\nName=Probe Opener\nExec=" << script.string()
            << " %u\nMimeType=x-scheme-handler/vellprobe;\n";
        fs::create_directories(env("XDG_CONFIG_HOME"));
        std::ofstream(env("XDG_CONFIG_HOME") / "mimeapps.list")
            << "[Default Applications]\nx-scheme-handler/vellprobe=vellprobe-opener.desktop\n";
    }
    static fs::path opened() { return env("VELL_SESSION_DIR") / "opened"; }

    void SetUp() override {
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr) << "no X display";
        root = DefaultRootWindow(display);
        XDeleteProperty(display, root, XInternAtom(display, "_NET_ACTIVE_WINDOW", False));
        XSync(display, False);
    }
    void TearDown() override {
        if (display) XCloseDisplay(display);
    }

    // A mapped window inside `parent` (the root: a top level) labelled as belonging to `pid` unless that is 0.
    Window window(pid_t pid, const char* instance, const char* windowClass, Window parent = None) {
        Window w = XCreateSimpleWindow(display, parent ? parent : root, 10, 10, 200, 100, 0, 0, 0);
        const unsigned long value = static_cast<unsigned long>(pid);
        if (pid)
            XChangeProperty(display, w, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&value), 1);
        if (instance) {
            XClassHint hint{const_cast<char*>(instance), const_cast<char*>(windowClass)};
            XSetClassHint(display, w, &hint);
        }
        XSelectInput(display, w, StructureNotifyMask);
        XMapWindow(display, w);
        XEvent event;
        do XWindowEvent(display, w, StructureNotifyMask, &event);
        while (event.type != MapNotify);
        return w;
    }

    void focus(Window w) {
        XSetInputFocus(display, w, RevertToParent, CurrentTime);
        XSync(display, False);
    }

    void setActive(Window w) {
        const unsigned long value = w;
        XChangeProperty(display, root, XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
        XSync(display, False);
    }

    Display* display = nullptr;
    Window root = 0;
    vell::platform::X11Desktop desktop;
};

TEST_F(X11DesktopTest, FrontApplicationIsTheProcessOfTheFocusedWindow) {
    StandIn app;
    ASSERT_GT(app.pid(), 0);
    const Window w = window(app.pid(), "vellprobe", "VellProbe");
    focus(w);
    auto front = desktop.frontApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->processId(), app.pid());
    EXPECT_FALSE(front->isTerminated());

    focus(window(0, nullptr, nullptr, w));  // focus on a child window still names the top level's process
    front = desktop.frontApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->processId(), app.pid());

    app.signal(SIGKILL);
    app.wait();
    EXPECT_TRUE(front->isTerminated());
    XDestroyWindow(display, w);
}

TEST_F(X11DesktopTest, TheNameComesFromTheDesktopEntryElseTheWindowClassElseTheCommand) {
    const std::array<const char*, 3> rows[] = {{"vellnamed", "VellNamed", "Vell Named Editor"},
                                               {"vellprobe", "VellProbe", "VellProbe"},
                                               {nullptr, nullptr, "sleep"}};
    for (const auto& [instance, windowClass, name] : rows) {
        StandIn app;
        const Window w = window(app.pid(), instance, windowClass);
        focus(w);
        auto front = desktop.frontApplication();
        ASSERT_TRUE(front);
        EXPECT_EQ(front->name(), name);
        XDestroyWindow(display, w);
    }
}

TEST_F(X11DesktopTest, TheActiveWindowWinsOverTheFocusAndNoneOrAVanishedOneMeansNoFront) {
    focus(None);
    EXPECT_FALSE(desktop.frontApplication());
    focus(PointerRoot);
    EXPECT_FALSE(desktop.frontApplication());

    StandIn focused, active;
    const Window a = window(focused.pid(), "vellprobe", "VellProbe");
    const Window b = window(active.pid(), "vellprobe", "VellProbe");
    focus(a);
    setActive(b);
    auto front = desktop.frontApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->processId(), active.pid());
    XDestroyWindow(display, b);
    XSync(display, False);
    EXPECT_FALSE(desktop.frontApplication());  // and its program is still running
    XDestroyWindow(display, a);
}

TEST_F(X11DesktopTest, AccessibilityTrustFollowsTheAccessibilityBus) {
    EXPECT_TRUE(desktop.accessibilityTrusted());
    auto set = [](bool on) {
        const std::string command = std::string(
                                        "gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus "
                                        "--method org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<") +
                                    (on ? "true" : "false") + ">' >/dev/null";
        return std::system(command.c_str());
    };
    // Kept from the bus's change signal, so the answer follows a moment later.
    ASSERT_EQ(set(false), 0);
    EXPECT_TRUE(vell::test::waitUntil([&] { return !desktop.accessibilityTrusted(); }));
    ASSERT_EQ(set(true), 0);
    EXPECT_TRUE(vell::test::waitUntil([&] { return desktop.accessibilityTrusted(); }));
}

TEST_F(X11DesktopTest, WebAddressesGoToTheDefaultHandler) {
    const std::string address = "vellprobe://app/#/desktop?x=1";
    desktop.openInBrowser(address);
    EXPECT_TRUE(vell::test::waitUntil([&] {
        std::string text;
        return std::getline(std::ifstream(opened()), text) && text == address;
    }));
}

}  // namespace
