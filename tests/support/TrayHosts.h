#pragma once
// Tray hosts a test plays itself, each on its own thread and connection so
// the program under test is just another client:
//   - StatusNotifierWatcherHost owns org.kde.StatusNotifierWatcher on the
//     session bus and records the items that register;
//   - XEmbedTrayHost owns the X system tray selection and embeds the icons
//     that ask to dock.
// Include after gtest: Xlib's macros (None, Status) clash with its names.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gio/gio.h>
#include <poll.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

// A connection of its own to the session bus: what it owns goes when it closes.
inline GDBusConnection* privateBus() {
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GDBusConnection* bus =
        g_dbus_connection_new_for_address_sync(address,
                                               GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                               nullptr, nullptr, nullptr);
    g_free(address);
    return bus;
}

class StatusNotifierWatcherHost {
public:
    // Asks for the name before returning; its own thread then answers the calls.
    StatusNotifierWatcherHost() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
        g_main_context_push_thread_default(context_);  // the bus and the object answer on the host's context
        bus_ = privateBus();
        static const char* xml = R"xml(<node><interface name="org.kde.StatusNotifierWatcher">
            <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
            <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
            <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
            <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
            <property name="ProtocolVersion" type="i" access="read"/></interface></node>)xml";
        node_ = g_dbus_node_info_new_for_xml(xml, nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* arguments,
               GDBusMethodInvocation* invocation, gpointer self) {
                if (g_str_equal(method, "RegisterStatusNotifierItem")) {
                    const gchar* service = nullptr;
                    g_variant_get(arguments, "(&s)", &service);
                    auto* host = static_cast<StatusNotifierWatcherHost*>(self);
                    std::lock_guard lock(host->mutex_);
                    host->registered_.push_back(service);
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**,
               gpointer) -> GVariant* {
                if (g_str_equal(property, "IsStatusNotifierHostRegistered")) return g_variant_new_boolean(TRUE);
                if (g_str_equal(property, "ProtocolVersion")) return g_variant_new_int32(0);
                return g_variant_new_strv(nullptr, 0);
            },
            nullptr,
            {},
        };
        object_ = g_dbus_connection_register_object(bus_, "/StatusNotifierWatcher", node_->interfaces[0], &vtable, this,
                                                    nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        guint32 result = 0;
        if (reply) g_variant_get(reply, "(u)", &result), g_variant_unref(reply);
        owned_ = result == 1;
        g_main_context_pop_thread_default(context_);
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
    }
    ~StatusNotifierWatcherHost() {
        // Quit from inside the loop, so a quit cannot come before the loop runs.
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit, [](gpointer loop) { return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE; }, loop_,
            nullptr);
        g_source_attach(quit, context_);
        g_source_unref(quit);
        thread_.join();
        g_dbus_connection_unregister_object(bus_, object_);
        g_dbus_connection_close_sync(bus_, nullptr, nullptr);  // the name goes with the connection
        g_object_unref(bus_);
        g_dbus_node_info_unref(node_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    bool owned() const { return owned_; }
    std::vector<std::string> registered() const {
        std::lock_guard lock(mutex_);
        return registered_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> registered_;
    GMainContext* context_;
    GMainLoop* loop_;
    GDBusConnection* bus_ = nullptr;
    GDBusNodeInfo* node_ = nullptr;
    guint object_ = 0;
    bool owned_ = false;
    std::thread thread_;
};

// A system tray that embeds every icon that asks (the XEmbed tray protocol,
// just the docking request and the embedding notice). It takes the tray
// selection before the constructor returns; its own thread then serves it.
class XEmbedTrayHost {
public:
    XEmbedTrayHost() : display_(XOpenDisplay(nullptr)) {
        if (!display_) return;
        const Window root = DefaultRootWindow(display_);
        tray_ = XCreateSimpleWindow(display_, root, 0, 0, 64, 32, 0, 0, 0);
        const Atom selection = XInternAtom(display_, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(display_, selection, tray_, CurrentTime);
        XClientMessageEvent manager{};
        manager.type = ClientMessage;
        manager.window = root;
        manager.message_type = XInternAtom(display_, "MANAGER", False);
        manager.format = 32;
        manager.data.l[0] = CurrentTime;
        manager.data.l[1] = static_cast<long>(selection);
        manager.data.l[2] = static_cast<long>(tray_);
        XSendEvent(display_, root, False, StructureNotifyMask, reinterpret_cast<XEvent*>(&manager));
        XMapWindow(display_, tray_);
        XSync(display_, False);
        thread_ = std::thread([this] { serve(); });
    }
    ~XEmbedTrayHost() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (display_) XCloseDisplay(display_);
    }
    int docked() const { return docked_; }

private:
    void serve() {
        const Atom opcode = XInternAtom(display_, "_NET_SYSTEM_TRAY_OPCODE", False);
        const Atom xembed = XInternAtom(display_, "_XEMBED", False);
        while (!stop_) {
            pollfd wait{ConnectionNumber(display_), POLLIN, 0};
            if (!XPending(display_)) poll(&wait, 1, 50);
            while (XPending(display_)) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type != ClientMessage || event.xclient.message_type != opcode ||
                    event.xclient.data.l[1] != 0 /* dock request */)
                    continue;
                const Window icon = static_cast<Window>(event.xclient.data.l[2]);
                XReparentWindow(display_, icon, tray_, 0, 0);
                XMapWindow(display_, icon);
                XClientMessageEvent notice{};
                notice.type = ClientMessage;
                notice.window = icon;
                notice.message_type = xembed;
                notice.format = 32;
                notice.data.l[0] = CurrentTime;
                notice.data.l[1] = 0;  // embedded notify
                notice.data.l[3] = static_cast<long>(tray_);
                XSendEvent(display_, icon, False, NoEventMask, reinterpret_cast<XEvent*>(&notice));
                XSync(display_, False);
                ++docked_;
            }
        }
    }

    Display* display_;
    Window tray_ = 0;
    std::atomic<bool> stop_ = false;
    std::atomic<int> docked_ = 0;
    std::thread thread_;
};

}  // namespace vell::test
