#include "platform/linux/TrayStatusItem.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libdbusmenu-glib/dbusmenu-glib.h>
#include <unistd.h>

#include <atomic>

#include "platform/linux/SymbolIcons.h"

namespace vell::platform {
namespace {

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* menuPath = "/MenuBar";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";

constexpr const char* itemXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
    <signal name="XAyatanaNewLabel"><arg name="label" type="s"/><arg name="guide" type="s"/></signal>
  </interface>
</node>)xml";

// Items in one process are numbered, so each has its own bus name.
std::atomic<int> itemCount{0};

}  // namespace

struct TrayStatusItem::Impl {
    std::string busName =
        "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(++itemCount);
    std::string iconName;
    std::string description;
    std::string toolTip;
    std::string title;
    std::function<void()> primary = [] {};
    std::function<Menu()> provider = [] { return Menu{}; };

    GDBusConnection* bus = nullptr;
    GCancellable* cancellable = g_cancellable_new();
    guint objectId = 0;
    guint ownerId = 0;
    guint watchId = 0;
    bool nameOwned = false;
    bool watcherPresent = false;
    bool registered = false;  // the watcher accepted the item
    DbusmenuServer* menuServer = nullptr;
    DbusmenuMenuitem* menuRoot = nullptr;
    GtkStatusIcon* xembedIcon = nullptr;
    GtkWidget* popup = nullptr;
    bool removed = false;

    Impl() {
        gtk_init_check(nullptr, nullptr);  // without a display the fallback is simply never shown
        bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (!bus) {
            showXEmbed();
            return;
        }
        exportItem();
        exportMenu();
        ownerId = g_bus_own_name_on_connection(
            bus, busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, gpointer self) {
                static_cast<Impl*>(self)->nameOwned = true;
                static_cast<Impl*>(self)->registerWithWatcher();
            },
            [](GDBusConnection*, const gchar*, gpointer self) { static_cast<Impl*>(self)->nameOwned = false; }, this,
            nullptr);
        watchId = g_bus_watch_name_on_connection(
            bus, watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
                static_cast<Impl*>(self)->watcherPresent = true;
                static_cast<Impl*>(self)->registerWithWatcher();
            },
            [](GDBusConnection*, const gchar*, gpointer self) {
                auto* impl = static_cast<Impl*>(self);
                impl->watcherPresent = false;
                impl->registered = false;
                impl->showXEmbed();
            },
            this, nullptr);
    }

    ~Impl() {
        tearDown();
        g_object_unref(cancellable);
        if (bus) g_object_unref(bus);
    }

    void tearDown() {
        removed = true;
        registered = false;
        g_cancellable_cancel(cancellable);
        if (watchId) g_bus_unwatch_name(watchId);
        if (ownerId) g_bus_unown_name(ownerId);
        if (objectId) g_dbus_connection_unregister_object(bus, objectId);
        watchId = ownerId = objectId = 0;
        if (menuServer) g_object_unref(menuServer);
        if (menuRoot) g_object_unref(menuRoot);
        menuServer = nullptr;
        menuRoot = nullptr;
        hideXEmbed();
        if (popup) gtk_widget_destroy(popup);
        popup = nullptr;
        if (bus) g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    }

    // ---- StatusNotifierItem ----

    void exportItem() {
        static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(itemXml, nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* arguments,
               GDBusMethodInvocation* invocation, gpointer self) {
                gint32 x = 0, y = 0;
                if (g_variant_is_of_type(arguments, G_VARIANT_TYPE("(ii)"))) g_variant_get(arguments, "(ii)", &x, &y);
                g_dbus_method_invocation_return_value(invocation, nullptr);
                static_cast<Impl*>(self)->handleMethod(method, x, y);
            },
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**,
               gpointer self) { return static_cast<Impl*>(self)->property(property); },
            nullptr,
            {},
        };
        objectId =
            g_dbus_connection_register_object(bus, itemPath, node->interfaces[0], &vtable, this, nullptr, nullptr);
    }

    void handleMethod(const std::string& method, int x, int y) {
        if (method == "Activate") {
            auto action = primary;  // a copy: the action may remove the item
            action();
        } else if (method == "ContextMenu" || method == "SecondaryActivate") {
            popUpMenuAt(x, y);
        }
    }

    GVariant* property(const std::string& name) const {
        if (name == "Category") return g_variant_new_string("ApplicationStatus");
        if (name == "Id") return g_variant_new_string("vell");
        if (name == "Title") return g_variant_new_string(title.c_str());
        if (name == "Status") return g_variant_new_string("Active");
        if (name == "WindowId") return g_variant_new_int32(0);
        if (name == "IconName") return g_variant_new_string(iconName.c_str());
        if (name == "IconThemePath") return g_variant_new_string(ownIconDirectory().c_str());
        if (name == "ToolTip")
            return g_variant_new("(s@a(iiay)ss)", iconName.c_str(),
                                 g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0), toolTip.c_str(), "");
        if (name == "Menu") return g_variant_new_object_path(menuPath);
        if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
        if (name == "XAyatanaLabel") return g_variant_new_string(title.c_str());
        if (name == "XAyatanaLabelGuide") return g_variant_new_string(title.c_str());
        return nullptr;
    }

    void emit(const char* signal, GVariant* arguments = nullptr) {
        if (!objectId) {
            if (arguments) g_variant_unref(g_variant_ref_sink(arguments));
            return;
        }
        g_dbus_connection_emit_signal(bus, nullptr, itemPath, itemInterface, signal, arguments, nullptr);
    }

    void registerWithWatcher() {
        if (!nameOwned || !watcherPresent || removed) return;
        g_dbus_connection_call(
            bus, watcherName, "/StatusNotifierWatcher", watcherName, "RegisterStatusNotifierItem",
            g_variant_new("(s)", busName.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable,
            [](GObject* source, GAsyncResult* result, gpointer self) {
                g_autoptr(GError) error = nullptr;
                g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;  // the item is gone
                auto* impl = static_cast<Impl*>(self);
                // A watcher that refuses the item leaves it to an XEmbed tray.
                impl->registered = reply != nullptr;
                impl->registered ? impl->hideXEmbed() : impl->showXEmbed();
            },
            this);
    }

    // ---- the menu over dbusmenu ----

    void exportMenu() {
        menuServer = dbusmenu_server_new(menuPath);
        menuRoot = dbusmenu_menuitem_new();
        dbusmenu_menuitem_property_set(menuRoot, DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY,
                                       DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
        g_signal_connect_swapped(menuRoot, DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW, G_CALLBACK(+[](Impl* self) {
                                     self->rebuildDbusMenu();
                                     return TRUE;
                                 }),
                                 this);
        dbusmenu_server_set_root(menuServer, menuRoot);
    }

    void rebuildDbusMenu() {
        if (!menuRoot) return;
        g_list_free_full(dbusmenu_menuitem_take_children(menuRoot), g_object_unref);
        for (auto& item : provider()) {
            DbusmenuMenuitem* child = dbusmenu_menuitem_new();
            if (item.isSeparator()) {
                dbusmenu_menuitem_property_set(child, DBUSMENU_MENUITEM_PROP_TYPE, DBUSMENU_CLIENT_TYPES_SEPARATOR);
            } else {
                dbusmenu_menuitem_property_set(child, DBUSMENU_MENUITEM_PROP_LABEL, item.title.c_str());
                connectAction(child, DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED, std::move(item.action));
            }
            dbusmenu_menuitem_child_append(menuRoot, child);
            g_object_unref(child);
        }
    }

    // Runs `action` at each emission of `signal`; the action lives as long as the object.
    static void connectAction(gpointer object, const char* signal, std::function<void()> action) {
        g_signal_connect_data(
            object, signal, G_CALLBACK(+[](std::function<void()>* run) {
                auto copy = *run;  // the action may destroy the object
                if (copy) copy();
            }),
            new std::function<void()>(std::move(action)),
            [](gpointer run, GClosure*) { delete static_cast<std::function<void()>*>(run); }, G_CONNECT_SWAPPED);
    }

    // ---- the XEmbed fallback and the pop-up menu ----

    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    void showXEmbed() {
        if (removed || xembedIcon || !gdk_display_get_default()) return;
        xembedIcon = gtk_status_icon_new();
        updateXEmbed();
        g_signal_connect_swapped(xembedIcon, "activate", G_CALLBACK(+[](Impl* self) {
                                     auto action = self->primary;
                                     action();
                                 }),
                                 this);
        g_signal_connect_swapped(
            xembedIcon, "popup-menu",
            G_CALLBACK(+[](Impl* self, guint button, guint time) { self->popUpMenu(button, time); }), this);
    }

    void hideXEmbed() {
        if (!xembedIcon) return;
        gtk_status_icon_set_visible(xembedIcon, FALSE);
        g_object_unref(xembedIcon);
        xembedIcon = nullptr;
    }

    void updateXEmbed() {
        if (!xembedIcon) return;
        gtk_status_icon_set_from_icon_name(xembedIcon, iconName.empty() ? "image-missing" : iconName.c_str());
        gtk_status_icon_set_tooltip_text(xembedIcon, toolTip.c_str());
        gtk_status_icon_set_title(xembedIcon, description.c_str());
    }

    bool xembedEmbedded() const { return xembedIcon && gtk_status_icon_is_embedded(xembedIcon); }

    // A new GTK menu from the provider, replacing the one shown before.
    GtkMenu* buildPopup() {
        if (popup) gtk_widget_destroy(popup);
        popup = gtk_menu_new();
        for (auto& item : provider()) {
            GtkWidget* widget =
                item.isSeparator() ? gtk_separator_menu_item_new() : gtk_menu_item_new_with_label(item.title.c_str());
            if (!item.isSeparator()) connectAction(widget, "activate", std::move(item.action));
            gtk_menu_shell_append(GTK_MENU_SHELL(popup), widget);
        }
        gtk_widget_show_all(popup);
        return GTK_MENU(popup);
    }

    void popUpMenu(guint button, guint32 time) {
        gtk_menu_popup(buildPopup(), nullptr, nullptr, gtk_status_icon_position_menu, xembedIcon, button, time);
    }

    // At the screen position the host names. The host's click is not ours to
    // see, so a button press at that spot stands in as the menu's trigger.
    void popUpMenuAt(int x, int y) {
        GdkWindow* root = gdk_get_default_root_window();
        GdkSeat* seat = root ? gdk_display_get_default_seat(gdk_window_get_display(root)) : nullptr;
        if (!seat) return;
        GdkEvent* trigger = gdk_event_new(GDK_BUTTON_PRESS);
        trigger->button.window = GDK_WINDOW(g_object_ref(root));
        trigger->button.button = 3;
        trigger->button.time = GDK_CURRENT_TIME;
        trigger->button.x_root = x;
        trigger->button.y_root = y;
        gdk_event_set_device(trigger, gdk_seat_get_pointer(seat));
        const GdkRectangle at{x, y, 1, 1};
        gtk_menu_popup_at_rect(buildPopup(), root, &at, GDK_GRAVITY_NORTH_WEST, GDK_GRAVITY_NORTH_WEST, trigger);
        gdk_event_free(trigger);
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
};

TrayStatusItem::TrayStatusItem() : impl_(std::make_unique<Impl>()) {}

TrayStatusItem::~TrayStatusItem() = default;

// Each setter tells the host only of a change: the owner sets all three after
// every change of its model, and a host redraws at every signal.
bool TrayStatusItem::setImage(const std::string& symbol, const std::string& description) {
    std::string iconName = symbolIconName(symbol);
    if (iconName == impl_->iconName && description == impl_->description) return !iconName.empty();
    impl_->iconName = std::move(iconName);
    impl_->description = description;
    impl_->emit("NewIcon");
    impl_->updateXEmbed();
    return !impl_->iconName.empty();
}

void TrayStatusItem::setToolTip(const std::string& text) {
    if (text == impl_->toolTip) return;
    impl_->toolTip = text;
    impl_->emit("NewToolTip");
    impl_->updateXEmbed();
}

void TrayStatusItem::setTitle(const std::string& text) {
    if (text == impl_->title) return;
    impl_->title = text;
    impl_->emit("NewTitle");
    impl_->emit("XAyatanaNewLabel", g_variant_new("(ss)", text.c_str(), text.c_str()));
}

void TrayStatusItem::setOnPrimaryClick(std::function<void()> action) {
    impl_->primary = action ? std::move(action) : [] {};
}

void TrayStatusItem::setMenuProvider(std::function<Menu()> provider) {
    impl_->provider = provider ? std::move(provider) : [] { return Menu{}; };
    // Hosts that never announce the opening still find a menu.
    impl_->rebuildDbusMenu();
}

bool TrayStatusItem::isShown() const { return impl_->registered || impl_->xembedEmbedded(); }

void TrayStatusItem::remove() { impl_->tearDown(); }

const std::string& TrayStatusItem::busName() const { return impl_->busName; }

}  // namespace vell::platform
