#pragma once
// Tray hosts a test plays itself, each on its own thread and connection so
// the program under test is just another client:
//   - StatusNotifierWatcherHost owns org.kde.StatusNotifierWatcher on the
//     session bus and records the items that register;
//   - XEmbedTrayHost owns the X system tray selection and embeds the icons
//     that ask to dock.
// BusProbe calls the program over D-Bus from another thread while the test's
// main loop keeps running, since the program answers on that loop.
// Include after gtest: Xlib's macros (None, Status) clash with its names.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gio/gio.h>
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

class StatusNotifierWatcherHost {
public:
    StatusNotifierWatcherHost() {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        started_.wait(lock, [this] { return state_ != State::starting; });
    }
    ~StatusNotifierWatcherHost() {
        // Quit from inside the loop, so a quit cannot come before the loop runs.
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit, [](gpointer loop) { return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE; }, loop_,
            nullptr);
        g_source_attach(quit, g_main_loop_get_context(loop_));
        g_source_unref(quit);
        thread_.join();
    }
    bool owned() const {
        std::lock_guard lock(mutex_);
        return state_ == State::owned;
    }
    std::vector<std::string> registered() const {
        std::lock_guard lock(mutex_);
        return registered_;
    }

private:
    enum class State { starting, owned, refused };
    void run() {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        loop_ = g_main_loop_new(context, FALSE);
        GDBusConnection* bus = privateBus();
        static const char* xml = R"xml(<node><interface name="org.kde.StatusNotifierWatcher">
            <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
            <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
            <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
            <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
            <property name="ProtocolVersion" type="i" access="read"/></interface></node>)xml";
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, nullptr);
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
        guint object = g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", node->interfaces[0], &vtable,
                                                         this, nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        guint32 result = 0;
        if (reply) g_variant_get(reply, "(u)", &result), g_variant_unref(reply);
        {
            std::lock_guard lock(mutex_);
            state_ = result == 1 ? State::owned : State::refused;
        }
        started_.notify_all();
        g_main_loop_run(loop_);
        g_dbus_connection_unregister_object(bus, object);
        g_dbus_connection_close_sync(bus, nullptr, nullptr);  // the name goes with the connection
        g_object_unref(bus);
        g_dbus_node_info_unref(node);
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }
    static GDBusConnection* privateBus() {
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        GDBusConnection* bus =
            g_dbus_connection_new_for_address_sync(address,
                                                   GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                                   nullptr, nullptr, nullptr);
        g_free(address);
        return bus;
    }
    friend class BusProbe;

    mutable std::mutex mutex_;
    std::condition_variable started_;
    State state_ = State::starting;
    std::vector<std::string> registered_;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
};

// Synchronous D-Bus calls made from a helper thread while `spin` keeps the
// calling thread's main loop turning until the answer is in.
class BusProbe {
public:
    using Spin = std::function<void(const std::function<bool()>& done)>;
    explicit BusProbe(Spin spin) : spin_(std::move(spin)), bus_(StatusNotifierWatcherHost::privateBus()) {}
    ~BusProbe() {
        g_dbus_connection_close_sync(bus_, nullptr, nullptr);
        g_object_unref(bus_);
    }
    // The reply (owned by the caller), or null with the error's message in `error`.
    GVariant* call(const std::string& name, const std::string& path, const std::string& interface,
                   const std::string& method, GVariant* arguments, std::string* error = nullptr) {
        if (arguments) g_variant_ref_sink(arguments);
        std::atomic<bool> done = false;
        GVariant* reply = nullptr;
        GError* failure = nullptr;
        std::thread caller([&] {
            reply = g_dbus_connection_call_sync(bus_, name.c_str(), path.c_str(), interface.c_str(), method.c_str(),
                                                arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &failure);
            done = true;
            g_main_context_wakeup(nullptr);  // the spinning loop may be asleep
        });
        spin_([&] { return done.load(); });
        caller.join();
        if (arguments) g_variant_unref(arguments);
        if (failure) {
            if (error) *error = failure->message;
            g_error_free(failure);
        }
        return reply;
    }
    // One property of the object, as its bare value (owned by the caller).
    GVariant* property(const std::string& name, const std::string& path, const std::string& interface,
                       const std::string& property) {
        GVariant* reply = call(name, path, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", interface.c_str(), property.c_str()));
        if (!reply) return nullptr;
        GVariant* boxed = nullptr;
        g_variant_get(reply, "(v)", &boxed);
        g_variant_unref(reply);
        return boxed;
    }
    GDBusConnection* bus() const { return bus_; }

private:
    Spin spin_;
    GDBusConnection* bus_;
};

// A system tray that embeds every icon that asks (the XEmbed tray protocol,
// just the docking request and the embedding notice).
class XEmbedTrayHost {
public:
    XEmbedTrayHost() {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        started_.wait(lock, [this] { return started; });
    }
    ~XEmbedTrayHost() {
        stop_ = true;
        thread_.join();
    }
    int docked() const { return docked_; }

private:
    void run() {
        Display* display = XOpenDisplay(nullptr);
        const Window root = display ? DefaultRootWindow(display) : 0;
        Window tray = 0;
        if (display) {
            tray = XCreateSimpleWindow(display, root, 0, 0, 64, 32, 0, 0, 0);
            const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
            XSetSelectionOwner(display, selection, tray, CurrentTime);
            XClientMessageEvent manager{};
            manager.type = ClientMessage;
            manager.window = root;
            manager.message_type = XInternAtom(display, "MANAGER", False);
            manager.format = 32;
            manager.data.l[0] = CurrentTime;
            manager.data.l[1] = static_cast<long>(selection);
            manager.data.l[2] = static_cast<long>(tray);
            XSendEvent(display, root, False, StructureNotifyMask, reinterpret_cast<XEvent*>(&manager));
            XMapWindow(display, tray);
            XSync(display, False);
        }
        {
            std::lock_guard lock(mutex_);
            started = true;
        }
        started_.notify_all();
        if (!display) return;
        const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
        const Atom xembed = XInternAtom(display, "_XEMBED", False);
        while (!stop_) {
            pollfd wait{ConnectionNumber(display), POLLIN, 0};
            if (!XPending(display)) poll(&wait, 1, 50);
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type != ClientMessage || event.xclient.message_type != opcode ||
                    event.xclient.data.l[1] != 0 /* dock request */)
                    continue;
                const Window icon = static_cast<Window>(event.xclient.data.l[2]);
                XReparentWindow(display, icon, tray, 0, 0);
                XMapWindow(display, icon);
                XClientMessageEvent notice{};
                notice.type = ClientMessage;
                notice.window = icon;
                notice.message_type = xembed;
                notice.format = 32;
                notice.data.l[0] = CurrentTime;
                notice.data.l[1] = 0;  // embedded notify
                notice.data.l[3] = static_cast<long>(tray);
                XSendEvent(display, icon, False, NoEventMask, reinterpret_cast<XEvent*>(&notice));
                XSync(display, False);
                ++docked_;
            }
        }
        XCloseDisplay(display);
    }

    std::mutex mutex_;
    std::condition_variable started_;
    bool started = false;
    std::atomic<bool> stop_ = false;
    std::atomic<int> docked_ = 0;
    std::thread thread_;
};

}  // namespace vell::test
