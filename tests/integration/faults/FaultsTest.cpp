// Faults a fill survives, run against a real GTK form in its own process over
// AT-SPI, with the controller on the GLib main loop: the form killed in the
// middle of the fill, or the accessibility bus gone before it. The fill ends
// with one sentence, nothing is written or recorded, nothing is left to undo.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "ControllerDoubles.h"
#include "dictation/DictationController.h"
#include "fill/FillEngine.h"
#include "integration/fill/FormProcess.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/GlibMainLoop.h"

namespace {

using namespace vell;
using namespace vell::test;
using platform::ElementRef;

class RunningApplication : public ApplicationDouble {
public:
    using ApplicationDouble::ApplicationDouble;
    bool isTerminated() const override { return ::kill(processId(), 0) != 0 && errno == ESRCH; }
};

struct FillScene {
    using Controller = dictation::DictationController;

    explicit FillScene(platform::Accessibility& accessibility) : engine(accessibility) {
        parts.fillService.mapping.values = {{"f0", "Ada Lovelace"}, {"f1", "ada@example.com"}, {"f3", "Paris"}};
        parts.desktop.front = std::make_shared<RunningApplication>(form.pid(), "Form");
        controller = Controller::create({parts.loop, parts.recorder, parts.recogniser, engine, parts.fillService,
                                         parts.paste, parts.session, parts.desktop, parts.clipboard, parts.loginItem});
    }
    ~FillScene() {
        controller.reset();
        parts.loop.runFor(0.2);
    }

    // Whether the form's window is up and its fields can be read.
    bool formReadable() {
        if (!form.waitReady()) return false;
        platform::AtspiAccessibility direct;
        fill::FillEngine reader(direct);
        return waitUntil([&] { return reader.enumerate(form.pid(), 40).size() >= 4; });
    }

    // Fills the form from a note; true once the fill has ended (a hung
    // target holds it for a 2 s time-out per step at most).
    bool fill() {
        controller->fillFromNote("note-1", "Contact");
        return parts.loop.runUntil([&] { return controller->phase() == Controller::Phase::idle(); }, 20);
    }

    ControllerParts<platform::GlibMainLoop> parts;
    FormProcess form{{VELL_FORM_FIXTURE}};
    fill::FillEngine engine;
    std::shared_ptr<Controller> controller;
};

struct Moment {
    const char* name;
    bool writing;  // else reading
    int after;     // requests of that kind, the last one answered before the kill
};

// AT-SPI as the fill engine sees it, with the target killed (and reaped, as
// its parent would) just after the chosen request came back.
class KillingAccessibility final : public platform::Accessibility {
public:
    explicit KillingAccessibility(Moment moment) : moment_(moment) {}

    pid_t target = 0;  // set before the fill starts
    std::atomic<bool> killed{false};

    ElementRef application(pid_t pid) override { return real_.application(pid); }
    void setMessagingTimeout(const ElementRef& e, double seconds) override { real_.setMessagingTimeout(e, seconds); }
    int setAttribute(const ElementRef& e, Attribute attribute, const Value& value) override {
        const int status = real_.setAttribute(e, attribute, value);
        if (moment_.writing && attribute == Attribute::value) count();
        return status;
    }
    Reading read(const ElementRef& e, Attribute attribute) override {
        auto reading = real_.read(e, attribute);
        if (!moment_.writing) count();
        return reading;
    }
    bool isSettable(const ElementRef& e, Attribute attribute) override { return real_.isSettable(e, attribute); }

private:
    void count() {
        if (++requests_ != moment_.after) return;
        ::kill(target, SIGKILL);
        ::waitpid(target, nullptr, 0);
        killed = true;
    }

    platform::AtspiAccessibility real_;
    const Moment moment_;
    std::atomic<int> requests_{0};
};

class TargetKilledTest : public ::testing::TestWithParam<Moment> {};

TEST_P(TargetKilledTest, TheFillEndsWithOneSentenceAndNothingToUndo) {
    KillingAccessibility accessibility(GetParam());
    FillScene scene(accessibility);
    ASSERT_TRUE(scene.formReadable());
    accessibility.target = scene.form.pid();

    ASSERT_TRUE(scene.fill());
    ASSERT_TRUE(accessibility.killed);
    auto& controller = *scene.controller;
    EXPECT_EQ(controller.problem(), "The window you were filling has gone.");
    EXPECT_TRUE(controller.history().empty());  // no report of fields "filled" in a window that is gone
    EXPECT_FALSE(controller.canUndoFill());
    controller.undoLastFill();
    EXPECT_EQ(controller.problem(), "The window you were filling has gone.");
}

const Moment moments[] = {
    {"WhileItsFieldsAreRead", false, 6},
    {"BetweenTwoWrites", true, 1},
};
INSTANTIATE_TEST_SUITE_P(Killed, TargetKilledTest, ::testing::ValuesIn(moments),
                         [](const auto& info) { return std::string(info.param.name); });

// The process that owns a name on the session bus, or 0.
pid_t ownerOf(const char* name) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return 0;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
        g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    g_object_unref(bus);
    if (!reply) return 0;
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    return static_cast<pid_t>(pid);
}

// Kills a process and every process below it.
void killTree(pid_t root) {
    std::set<pid_t> tree{root};
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            pid_t pid = 0, parent = 0;
            std::string name, state;
            std::ifstream(entry.path() / "stat") >> pid >> name >> state >> parent;
            if (pid > 0 && tree.contains(parent) && tree.insert(pid).second) grew = true;
        }
    }
    for (pid_t pid : tree) ::kill(pid, SIGKILL);
}

TEST(AccessibilityBusGoneTest, AFillSaysSoInOneSentenceAndALaterFillSaysTheSame) {
    platform::AtspiAccessibility accessibility;
    FillScene scene(accessibility);
    ASSERT_TRUE(scene.formReadable());
    const pid_t launcher = ownerOf("org.a11y.Bus");
    ASSERT_GT(launcher, 0);
    killTree(launcher);

    ASSERT_TRUE(scene.fill());
    // A new bus starts on demand, but the form's toolkit spoke to the old one.
    const std::string sentence =
        "Couldn't read any fields in Form. Native apps work best; web forms will come with the Chrome extension.";
    EXPECT_EQ(scene.controller->problem(), sentence);
    ASSERT_TRUE(scene.fill());
    EXPECT_EQ(scene.controller->problem(), sentence);
    EXPECT_EQ(scene.form.values()["name"], "");
    EXPECT_TRUE(scene.controller->history().empty());
}

}  // namespace
