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
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vell::platform {

namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const {
        if (p) Free(p);
    }
};
void unrefObject(GObject* object) { g_object_unref(object); }
void unrefVariant(GVariant* variant) { g_variant_unref(variant); }
void freeError(GError* error) { g_error_free(error); }
using ObjectRef = std::unique_ptr<GObject, Freer<GObject, unrefObject>>;
using VariantRef = std::unique_ptr<GVariant, Freer<GVariant, unrefVariant>>;
using ErrorRef = std::unique_ptr<GError, Freer<GError, freeError>>;

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
    ObjectRef info(G_OBJECT(g_desktop_app_info_new((id + ".desktop").c_str())));
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

X11Desktop::X11Desktop() : display_(XOpenDisplay(nullptr)) {}

X11Desktop::~X11Desktop() = default;

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

bool X11Desktop::accessibilityTrusted() {
    GError* rawError = nullptr;
    ObjectRef bus(G_OBJECT(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError)));
    ErrorRef error(rawError);
    if (!bus) return false;
    constexpr int timeoutMs = 1000;
    auto* connection = G_DBUS_CONNECTION(bus.get());

    // Reachable: the accessibility bus launcher hands out its address.
    rawError = nullptr;
    VariantRef address(g_dbus_connection_call_sync(connection, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                   "GetAddress", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                                                   timeoutMs, nullptr, &rawError));
    error.reset(rawError);
    if (!address) return false;
    const char* text = nullptr;
    g_variant_get(address.get(), "(&s)", &text);
    if (!text || !*text) return false;

    // Enabled: toolkits expose their trees only while this is on.
    rawError = nullptr;
    VariantRef enabled(
        g_dbus_connection_call_sync(connection, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                                    "Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
                                    G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &rawError));
    error.reset(rawError);
    if (!enabled) return false;
    GVariant* boxed = nullptr;
    g_variant_get(enabled.get(), "(v)", &boxed);
    VariantRef value(boxed);
    return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value.get());
}

void X11Desktop::openInBrowser(const std::string& url) {
    GError* rawError = nullptr;
    g_app_info_launch_default_for_uri(url.c_str(), nullptr, &rawError);
    ErrorRef error(rawError);  // nothing to tell: the browser either opens or it does not
}

}  // namespace vell::platform
