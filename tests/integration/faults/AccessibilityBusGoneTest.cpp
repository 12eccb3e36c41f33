// The accessibility bus goes away (its launcher, its bus and its registry
// killed) before a fill: the fill ends with one clear sentence within the
// time-outs, nothing is written, and a later fill says the same.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "FillScene.h"

namespace {

using namespace vell::test;

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
    vell::platform::AtspiAccessibility accessibility;
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
