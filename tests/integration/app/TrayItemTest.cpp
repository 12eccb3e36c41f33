// The tray item on a real session bus and X server: a StatusNotifierWatcher
// played by the test (and an XEmbed tray when there is none) sees what a
// desktop's tray would see.

#include <gtest/gtest.h>

#include "TrayHosts.h"
#include "platform/Symbols.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/SymbolIcons.h"
#include "platform/linux/TrayStatusItem.h"

#include <gtk/gtk.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using vell::platform::GlibMainLoop;
using vell::platform::StatusItem;
using vell::platform::TrayStatusItem;
using vell::test::BusProbe;
using vell::test::StatusNotifierWatcherHost;
using vell::test::XEmbedTrayHost;

constexpr const char* itemInterface = "org.kde.StatusNotifierItem";

struct TrayItemTest : ::testing::Test {
    TrayItemTest() { gtk_init_check(nullptr, nullptr); }
    GlibMainLoop loop;
    BusProbe probe{[this](const std::function<bool()>& done) { loop.runUntil(done, 10); }};

    std::string stringProperty(const TrayStatusItem& item, const char* name) {
        GVariant* value = probe.property(item.busName(), "/StatusNotifierItem", itemInterface, name);
        if (!value) return "<missing>";
        gchar* printed = g_variant_print(value, FALSE);
        const bool plain = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
                           g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH);
        std::string text = plain ? g_variant_get_string(value, nullptr) : printed;
        g_free(printed);
        g_variant_unref(value);
        return text;
    }
    std::vector<std::string> signals;
    void listenForSignals() {
        g_dbus_connection_signal_subscribe(
            probe.bus(), nullptr, itemInterface, nullptr, "/StatusNotifierItem", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GVariant*,
               gpointer self) { static_cast<TrayItemTest*>(self)->signals.push_back(name); },
            this, nullptr);
    }
    bool nameHasOwner(const std::string& name) {
        GVariant* reply = probe.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "NameHasOwner", g_variant_new("(s)", name.c_str()));
        gboolean owned = FALSE;
        if (reply) g_variant_get(reply, "(b)", &owned), g_variant_unref(reply);
        return owned;
    }
};

TEST_F(TrayItemTest, EverySymbolResolvesAndTheProgramsOwnIconsLoad) {
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    for (const auto& symbol : vell::platform::symbolTable) {
        EXPECT_FALSE(vell::platform::symbolIconName(symbol.name).empty()) << symbol.name;
        GError* error = nullptr;
        GdkPixbuf* own =
            gtk_icon_theme_load_icon(theme, std::string(symbol.ownIcon).c_str(), 16, GTK_ICON_LOOKUP_FORCE_SVG, &error);
        EXPECT_NE(own, nullptr) << symbol.ownIcon << ": " << (error ? error->message : "");
        if (own) g_object_unref(own);
        if (error) g_error_free(error);
    }
    EXPECT_EQ(vell::platform::symbolIconName("no.such.symbol"), "");
}

TEST_F(TrayItemTest, RegistersWithTheWatcherAndPublishesEveryChange) {
    StatusNotifierWatcherHost watcher;
    ASSERT_TRUE(watcher.owned());
    listenForSignals();
    auto item = std::make_unique<TrayStatusItem>();
    ASSERT_TRUE(loop.runUntil([&] { return item->isShown(); }, 10));
    EXPECT_EQ(watcher.registered(), std::vector<std::string>{item->busName()});
    EXPECT_EQ(stringProperty(*item, "IconThemePath"), vell::platform::ownIconDirectory().string());
    EXPECT_EQ(stringProperty(*item, "ItemIsMenu"), "false");

    struct Row {
        std::function<void(StatusItem&)> change;
        const char* property;
        std::string expected;
        const char* signal;
    };
    const Row rows[] = {
        {[](StatusItem& i) { EXPECT_TRUE(i.setImage("mic", "Vell")); }, "IconName", "audio-input-microphone-symbolic",
         "NewIcon"},
        {[](StatusItem& i) { i.setImage("square.and.pencil", "Vell \u2014 filling"); }, "IconName",
         "document-edit-symbolic", "NewIcon"},
        {[](StatusItem& i) { EXPECT_FALSE(i.setImage("no.such.symbol", "")); }, "IconName", "", "NewIcon"},
        {[](StatusItem& i) { i.setToolTip("Vell \u2014 listening"); }, "ToolTip",
         "('', [], 'Vell \u2014 listening', '')", "NewToolTip"},
        {[](StatusItem& i) { i.setTitle(" Vell"); }, "Title", " Vell", "NewTitle"},
        {[](StatusItem& i) { i.setTitle(""); }, "XAyatanaLabel", "", "XAyatanaNewLabel"},
    };
    for (const auto& row : rows) {
        signals.clear();
        row.change(*item);
        EXPECT_EQ(stringProperty(*item, row.property), row.expected) << row.property;
        loop.runUntil([&] { return !signals.empty(); }, 2);
        EXPECT_NE(std::find(signals.begin(), signals.end(), row.signal), signals.end()) << row.signal;
    }

    const std::string name = item->busName();
    item->remove();
    EXPECT_FALSE(item->isShown());
    EXPECT_FALSE(nameHasOwner(name)) << "the host sees the item go";
}

// The menu a host reads over dbusmenu as it opens is checked on the program
// as a process; here the item's own calls.
TEST_F(TrayItemTest, ActivateIsThePrimaryClickAndContextMenuBuildsTheMenuNow) {
    StatusNotifierWatcherHost watcher;
    TrayStatusItem item;
    int clicks = 0, builds = 0;
    item.setOnPrimaryClick([&] { ++clicks; });
    item.setMenuProvider([&] {
        ++builds;
        return StatusItem::Menu{{"Open panel", [] {}}};
    });
    ASSERT_TRUE(loop.runUntil([&] { return item.isShown(); }, 10));
    auto call = [&](const char* method) {
        GVariant* reply =
            probe.call(item.busName(), "/StatusNotifierItem", itemInterface, method, g_variant_new("(ii)", 0, 0));
        if (reply) g_variant_unref(reply);
        return reply != nullptr;
    };
    ASSERT_TRUE(call("Activate"));
    EXPECT_EQ(clicks, 1);
    const int built = builds;
    ASSERT_TRUE(call("ContextMenu"));
    EXPECT_GT(builds, built);
}

TEST_F(TrayItemTest, WithoutAWatcherTheIconIsEmbeddedAndMovesToAWatcherThatAppears) {
    XEmbedTrayHost tray;
    TrayStatusItem item;
    EXPECT_TRUE(item.setImage("mic", "Vell"));
    ASSERT_TRUE(loop.runUntil([&] { return item.isShown(); }, 10));
    EXPECT_EQ(tray.docked(), 1);

    auto watcher = std::make_unique<StatusNotifierWatcherHost>();
    ASSERT_TRUE(loop.runUntil([&] { return !watcher->registered().empty(); }, 10));
    EXPECT_EQ(watcher->registered(), std::vector<std::string>{item.busName()});
    EXPECT_TRUE(item.isShown());

    watcher.reset();  // the desktop's tray host goes away: back to XEmbed
    ASSERT_TRUE(loop.runUntil([&] { return tray.docked() == 2; }, 10));
    EXPECT_TRUE(loop.runUntil([&] { return item.isShown(); }, 10));
}

}  // namespace
