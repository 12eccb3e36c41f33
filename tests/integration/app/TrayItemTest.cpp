// The tray item on a real session bus and X server: a StatusNotifierWatcher
// played by the test (and an XEmbed tray when there is none) sees what a
// desktop's tray would see.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TrayHosts.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/SymbolIcons.h"
#include "platform/linux/TrayStatusItem.h"

namespace vell::platform {
namespace {

constexpr const char* itemInterface = "org.kde.StatusNotifierItem";

struct TrayItemTest : ::testing::Test {
    TrayItemTest() { gtk_init_check(nullptr, nullptr); }
    GlibMainLoop loop;
    GDBusConnection* bus = test::privateBus();
    std::vector<std::string> signals;
    ~TrayItemTest() override {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }

    // The reply (owned by the caller), or null; answered while the loop runs, as the program answers on it.
    GVariant* call(const std::string& name, const char* path, const char* interface, const char* method,
                   GVariant* arguments) {
        std::optional<GVariant*> reply;
        g_dbus_connection_call(
            bus, name.c_str(), path, interface, method, arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
            [](GObject* bus, GAsyncResult* result, gpointer reply) {
                *static_cast<std::optional<GVariant*>*>(reply) =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr);
            },
            &reply);
        loop.runUntil([&] { return reply.has_value(); }, 10);  // past the call's own timeout
        return reply.value_or(nullptr);
    }

    // A property as printed, strings bare.
    std::string property(const TrayStatusItem& item, const char* name) {
        GVariant* reply = call(item.busName(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", itemInterface, name));
        if (!reply) return "<missing>";
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        g_variant_unref(reply);
        gchar* printed = g_variant_print(value, FALSE);
        std::string text =
            g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ? g_variant_get_string(value, nullptr) : printed;
        g_free(printed);
        g_variant_unref(value);
        return text;
    }
    bool click(const TrayStatusItem& item, const char* method) {
        GVariant* reply =
            call(item.busName(), "/StatusNotifierItem", itemInterface, method, g_variant_new("(ii)", 0, 0));
        if (reply) g_variant_unref(reply);
        return reply != nullptr;
    }
    void listenForSignals() {
        g_dbus_connection_signal_subscribe(
            bus, nullptr, itemInterface, nullptr, "/StatusNotifierItem", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GVariant*,
               gpointer self) { static_cast<TrayItemTest*>(self)->signals.push_back(name); },
            this, nullptr);
    }
};

TEST_F(TrayItemTest, RegistersWithTheWatcherPublishesEveryChangeAndAnswersClicks) {
    test::StatusNotifierWatcherHost watcher;
    ASSERT_TRUE(watcher.owned());
    listenForSignals();
    auto item = std::make_unique<TrayStatusItem>();
    int clicks = 0, builds = 0;
    item->setOnPrimaryClick([&] { ++clicks; });
    item->setMenuProvider([&] {
        ++builds;
        return StatusItem::Menu{{"Open panel", [] {}}};
    });
    ASSERT_TRUE(loop.runUntil([&] { return item->isShown(); }, 10));
    EXPECT_EQ(watcher.registered(), std::vector<std::string>{item->busName()});
    EXPECT_EQ(property(*item, "IconThemePath"), ownIconDirectory().string());
    EXPECT_EQ(property(*item, "ItemIsMenu"), "false");

    struct Row {
        std::function<void(StatusItem&)> change;
        const char *property, *expected, *signal;
    };
    const Row rows[] = {
        {[](StatusItem& i) { EXPECT_TRUE(i.setImage("mic", "Vell")); }, "IconName", "audio-input-microphone-symbolic",
         "NewIcon"},
        {[](StatusItem& i) { EXPECT_FALSE(i.setImage("no.such.symbol", "")); }, "IconName", "", "NewIcon"},
        {[](StatusItem& i) { i.setToolTip("Vell \u2014 listening"); }, "ToolTip",
         "('', [], 'Vell \u2014 listening', '')", "NewToolTip"},
        {[](StatusItem& i) { i.setTitle(" Vell"); }, "Title", " Vell", "NewTitle"},
        {[](StatusItem& i) { i.setTitle(""); }, "XAyatanaLabel", "", "XAyatanaNewLabel"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.property);
        signals.clear();
        row.change(*item);
        EXPECT_EQ(property(*item, row.property), row.expected);
        EXPECT_TRUE(loop.runUntil([&] { return std::ranges::count(signals, row.signal) > 0; }, 2)) << row.signal;
    }

    // Activate is the primary click; ContextMenu builds the menu as it opens.
    ASSERT_TRUE(click(*item, "Activate"));
    EXPECT_EQ(clicks, 1);
    const int built = builds;
    ASSERT_TRUE(click(*item, "ContextMenu"));
    EXPECT_GT(builds, built);

    const std::string name = item->busName();
    item->remove();
    EXPECT_FALSE(item->isShown());
    GVariant* owner = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                           g_variant_new("(s)", name.c_str()));
    EXPECT_EQ(owner, nullptr) << "the host sees the item go";
    if (owner) g_variant_unref(owner);
}

TEST_F(TrayItemTest, WithoutAWatcherTheIconIsEmbeddedAndMovesToAWatcherThatAppears) {
    test::XEmbedTrayHost tray;
    TrayStatusItem item;
    EXPECT_TRUE(item.setImage("mic", "Vell"));
    ASSERT_TRUE(loop.runUntil([&] { return item.isShown(); }, 10));
    EXPECT_EQ(tray.docked(), 1);

    auto watcher = std::make_unique<test::StatusNotifierWatcherHost>();
    ASSERT_TRUE(loop.runUntil([&] { return !watcher->registered().empty(); }, 10));
    EXPECT_EQ(watcher->registered(), std::vector<std::string>{item.busName()});
    EXPECT_TRUE(item.isShown());

    watcher.reset();  // the desktop's tray host goes away: back to XEmbed
    ASSERT_TRUE(loop.runUntil([&] { return tray.docked() == 2; }, 10));
    EXPECT_TRUE(loop.runUntil([&] { return item.isShown(); }, 10));
}

}  // namespace
}  // namespace vell::platform
