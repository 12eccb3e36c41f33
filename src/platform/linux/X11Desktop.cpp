#include "platform/linux/X11Desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/GlibHolders.h"

namespace vell::platform {

namespace {

// Windows may vanish between two requests; their errors are expected here and
// must not end the program through Xlib's default handler.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display) : display_(display) {
        XSync(display_, False);
        failed() = false;
        previous_ = XSetErrorHandler(&ErrorTrap::note);
    }
    ~ErrorTrap() {
        XSync(display_, False);
        XSetErrorHandler(previous_);
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    bool caught() {
        XSync(display_, False);
        return failed();
    }

private:
    static bool& failed() {
        static thread_local bool value = false;
        return value;
    }
    static int note(Display*, XErrorEvent*) {
        failed() = true;
        return 0;
    }
    Display* display_;
    int (*previous_)(Display*, XErrorEvent*) = nullptr;
};

// One 32-bit-format property value (a window id or a process id).
std::optional<unsigned long> cardinalProperty(Display* display, Window window, const char* name, Atom type) {
    const Atom property = XInternAtom(display, name, False);
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format, &count, &remaining,
                           &data) != Success)
        return std::nullopt;
    std::optional<unsigned long> value;
    if (data && actualType == type && format == 32 && count == 1) value = *reinterpret_cast<unsigned long*>(data);
    if (data) XFree(data);
    return value;
}

// Clock ticks after boot at which the process started: tells a process from
// a later one that was given the same id.
std::optional<unsigned long long> startTime(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    const auto close = line.rfind(')');  // the command name may hold spaces and parentheses
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    std::vector<std::string> rest;
    while (fields >> field) rest.push_back(field);
    // After the name: state (3rd field of the line) … starttime (22nd).
    if (rest.size() < 20 || rest[0] == "Z" || rest[0] == "X") return std::nullopt;
    try {
        return std::stoull(rest[19]);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> desktopEntryName(const std::string& id) {
    if (id.empty()) return std::nullopt;
    GRef<GDesktopAppInfo> info(g_desktop_app_info_new((id + ".desktop").c_str()));
    if (!info) return std::nullopt;
    const char* name = g_app_info_get_display_name(G_APP_INFO(info.get()));
    if (!name || !*name) return std::nullopt;
    return std::string(name);
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The name a person knows the application by: its desktop entry's name, else
// its window class, else its command name.
std::optional<std::string> applicationName(Display* display, Window window, pid_t pid) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint)) {
        const std::string instance = hint.res_name ? hint.res_name : "";
        const std::string windowClass = hint.res_class ? hint.res_class : "";
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        for (const auto& id : {instance, lowercase(windowClass), windowClass})
            if (auto name = desktopEntryName(id)) return name;
        if (!windowClass.empty()) return windowClass;
        if (!instance.empty()) return instance;
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name) && !name.empty()) return name;
    return std::nullopt;
}

class X11Application final : public Desktop::Application {
public:
    X11Application(pid_t pid, std::optional<std::string> name)
        : pid_(pid), name_(std::move(name)), started_(startTime(pid)) {}

    pid_t processId() const override { return pid_; }
    std::optional<std::string> name() const override { return name_; }
    bool isTerminated() const override {
        if (::kill(pid_, 0) == -1 && errno == ESRCH) return true;
        const auto now = startTime(pid_);
        return !now || (started_ && *now != *started_);
    }

private:
    pid_t pid_;
    std::optional<std::string> name_;
    std::optional<unsigned long long> started_;
};

}  // namespace

void X11Desktop::DisplayCloser::operator()(_XDisplay* display) const { XCloseDisplay(display); }

pid_t X11Desktop::ownProcessId() const { return ::getpid(); }

namespace {
Window focusedWindow(Display* display) {
    const Window root = DefaultRootWindow(display);
    Window window = None;
    if (auto active = cardinalProperty(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW)) window = *active;
    if (window == None) {
        // No window manager: the window holding the input focus.
        int revert = 0;
        XGetInputFocus(display, &window, &revert);
        if (window == PointerRoot) window = None;
    }
    return window;
}
}  // namespace

namespace {
// The top-level window (with a process id) that holds `window`, and that id.
std::optional<std::pair<Window, pid_t>> owner(Display* display, Window window) {
    const Window root = DefaultRootWindow(display);
    // The focus may sit on a child window; the process id is on its top level.
    while (window != None && window != root) {
        if (auto pid = cardinalProperty(display, window, "_NET_WM_PID", XA_CARDINAL); pid && *pid > 0)
            return std::pair{window, static_cast<pid_t>(*pid)};
        Window parent = None, rootReturn = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &rootReturn, &parent, &children, &count)) break;
        if (children) XFree(children);
        window = parent;
    }
    return std::nullopt;
}

// The highest window in the window manager's stacking order that belongs to
// another process: with focus following raise, the one active before ours.
std::optional<std::pair<Window, pid_t>> topmostForeign(Display* display) {
    const Atom property = XInternAtom(display, "_NET_CLIENT_LIST_STACKING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::vector<Window> stack;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 4096, False, XA_WINDOW, &type, &format,
                           &count, &remaining, &data) == Success &&
        data && format == 32) {
        auto* windows = reinterpret_cast<unsigned long*>(data);
        stack.assign(windows, windows + count);
    }
    if (data) XFree(data);
    for (auto it = stack.rbegin(); it != stack.rend(); ++it)
        if (auto found = owner(display, *it); found && found->second != ::getpid()) return found;
    return std::nullopt;
}
}  // namespace

std::shared_ptr<Desktop::Application> X11Desktop::frontApplication() {
    if (!display_) return nullptr;
    Display* display = display_.get();
    ErrorTrap trap(display);
    auto front = owner(display, focusedWindow(display));
    // While the person types into our own panel, the front application is
    // still the one they were working in.
    if (front && front->second == ::getpid()) front = topmostForeign(display);
    if (!front) return nullptr;
    auto name = applicationName(display, front->first, front->second);
    if (trap.caught()) return nullptr;
    return std::make_shared<X11Application>(front->second, std::move(name));
}

// Whether the accessibility bus is there and enabled, kept current from its
// change signals on a thread of its own: asking answers from memory, and a
// hung or missing bus never holds the caller.
class X11Desktop::AccessibilityWatch {
public:
    AccessibilityWatch() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
        thread_ = std::thread([this] { run(); });
    }
    ~AccessibilityWatch() {
        g_main_context_invoke(
            context_, [](gpointer loop) { return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE; },
            loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    bool trusted() {
        // Only the first question may wait, briefly, for the first answer.
        std::unique_lock lock(mutex_);
        answered_.wait_for(lock, std::chrono::milliseconds(500), [&] { return known_; });
        return enabled_;
    }

private:
    static constexpr int callTimeoutMs = 1000;

    void run() {
        g_main_context_push_thread_default(context_);
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        guint subscription = 0, watch = 0;
        if (bus) {
            bus_ = bus;
            subscription = g_dbus_connection_signal_subscribe(bus, nullptr, "org.freedesktop.DBus.Properties",
                                                              "PropertiesChanged", "/org/a11y/bus", "org.a11y.Status",
                                                              G_DBUS_SIGNAL_FLAGS_NONE, onChanged, this, nullptr);
            watch = g_bus_watch_name_on_connection(bus, "org.a11y.Bus", G_BUS_NAME_WATCHER_FLAGS_AUTO_START, onAppeared,
                                                   onVanished, this, nullptr);
        } else {
            publish(false);
        }
        g_main_loop_run(loop_);
        if (watch) g_bus_unwatch_name(watch);
        if (subscription) g_dbus_connection_signal_unsubscribe(bus, subscription);
        if (bus) g_object_unref(bus);
        // Answers still on their way land here and are dropped.
        while (g_main_context_iteration(context_, FALSE)) {}
        g_main_context_pop_thread_default(context_);
    }

    void publish(bool enabled) {
        std::lock_guard lock(mutex_);
        enabled_ = enabled;
        known_ = true;
        answered_.notify_all();
    }

    // Asks once; the answer arrives on this thread's loop.
    void ask() {
        g_dbus_connection_call(
            bus_, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
            callTimeoutMs, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer self) {
                VariantRef reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
                GVariant* boxed = nullptr;
                if (reply) g_variant_get(reply.get(), "(v)", &boxed);
                VariantRef value(boxed);
                static_cast<AccessibilityWatch*>(self)->publish(
                    value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) &&
                    g_variant_get_boolean(value.get()));
            },
            this);
    }

    static void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer self) {
        static_cast<AccessibilityWatch*>(self)->ask();
    }
    static void onVanished(GDBusConnection*, const gchar*, gpointer self) {
        static_cast<AccessibilityWatch*>(self)->publish(false);
    }
    static void onChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer self) {
        auto* watch = static_cast<AccessibilityWatch*>(self);
        GVariant* changed = nullptr;
        g_variant_get(parameters, "(&s@a{sv}@as)", nullptr, &changed, nullptr);
        VariantRef owned(changed);
        gboolean enabled = FALSE;
        if (changed && g_variant_lookup(changed, "IsEnabled", "b", &enabled))
            watch->publish(enabled);
        else
            watch->ask();  // announced without its value
    }

    GMainContext* context_;
    GMainLoop* loop_;
    GDBusConnection* bus_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable answered_;
    bool known_ = false;
    bool enabled_ = false;
};

X11Desktop::X11Desktop() : display_(XOpenDisplay(nullptr)), accessibility_(std::make_unique<AccessibilityWatch>()) {}

X11Desktop::~X11Desktop() = default;

bool X11Desktop::accessibilityTrusted() { return accessibility_->trusted(); }

void X11Desktop::openInBrowser(const std::string& url) {
    GError* rawError = nullptr;
    g_app_info_launch_default_for_uri(url.c_str(), nullptr, &rawError);
    ErrorRef error(rawError);  // nothing to tell: the browser either opens or it does not
}

}  // namespace vell::platform
