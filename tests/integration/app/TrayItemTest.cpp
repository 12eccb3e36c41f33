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
    // The labels of the menu's items as the host reads them when it opens the
    // menu ("-" for a separator), with each item's id.
    std::vector<std::pair<int, std::string>> openMenu(const TrayStatusItem& item) {
        const std::string menu = stringProperty(item, "Menu");
        GVariant* shown =
            probe.call(item.busName(), menu, "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0));
        if (shown) g_variant_unref(shown);
        GVariant* layout = probe.call(item.busName(), menu, "com.canonical.dbusmenu", "GetLayout",
                                      g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
        std::vector<std::pair<int, std::string>> items;
        if (!layout) return items;
        g_autoptr(GVariant) root = g_variant_get_child_value(layout, 1);
        g_autoptr(GVariant) children = g_variant_get_child_value(root, 2);
        for (gsize i = 0; i < g_variant_n_children(children); ++i) {
            g_autoptr(GVariant) boxed = g_variant_get_child_value(children, i);
            g_autoptr(GVariant) child = g_variant_get_variant(boxed);
            g_autoptr(GVariant) properties = g_variant_get_child_value(child, 1);
            gint32 id = 0;
            const gchar *label = "", *type = "";
            g_variant_get_child(child, 0, "i", &id);
            g_variant_lookup(properties, "label", "&s", &label);
            g_variant_lookup(properties, "type", "&s", &type);
            items.emplace_back(id, std::string(type) == "separator" ? "-" : label);
        }
        g_variant_unref(layout);
        return items;
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

TEST_F(TrayItemTest, ActivateIsThePrimaryClickAndTheMenuIsBuiltWhenItOpens) {
    StatusNotifierWatcherHost watcher;
    TrayStatusItem item;
    int clicks = 0;
    bool signedIn = false;
    std::string chosen, builtFor;
    item.setOnPrimaryClick([&] { ++clicks; });
    item.setMenuProvider([&] {
        const std::string account = signedIn ? "Sign out" : "Sign in\u2026";
        builtFor = account;
        return StatusItem::Menu{{"Open panel", [&] { chosen = "panel"; }},
                                StatusItem::MenuItem::separator(),
                                {account, [&, account] { chosen = account; }}};
    });
    ASSERT_TRUE(loop.runUntil([&] { return item.isShown(); }, 10));

    GVariant* reply =
        probe.call(item.busName(), "/StatusNotifierItem", itemInterface, "Activate", g_variant_new("(ii)", 0, 0));
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
    EXPECT_EQ(clicks, 1);

    auto menu = openMenu(item);
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[0].second, "Open panel");
    EXPECT_EQ(menu[1].second, "-");
    EXPECT_EQ(menu[2].second, "Sign in\u2026");
    signedIn = true;
    menu = openMenu(item);
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[2].second, "Sign out");

    reply = probe.call(item.busName(), stringProperty(item, "Menu"), "com.canonical.dbusmenu", "Event",
                       g_variant_new("(isvu)", menu[2].first, "clicked", g_variant_new_int32(0), 0u));
    if (reply) g_variant_unref(reply);
    EXPECT_TRUE(loop.runUntil([&] { return !chosen.empty(); }, 5));
    EXPECT_EQ(chosen, "Sign out");

    // A host that asks the item to show its own menu gets one built now.
    signedIn = false;
    reply =
        probe.call(item.busName(), "/StatusNotifierItem", itemInterface, "ContextMenu", g_variant_new("(ii)", 0, 0));
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
    EXPECT_EQ(builtFor, "Sign in\u2026");
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
