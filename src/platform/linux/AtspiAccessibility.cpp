#include "platform/linux/AtspiAccessibility.h"

#include <atspi/atspi-constants.h>
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/ReadingOrder.h"
#include "platform/linux/AtspiDirectConnection.h"
#include "platform/linux/AtspiTreeSnapshot.h"
#include "platform/linux/GlibHolders.h"

namespace vell::platform {
namespace {

// The object replacement character stands for embedded objects in AT-SPI text.
std::string withoutObjectReplacement(std::string text) {
    static const std::string replacement = "\xEF\xBF\xBC";  // U+FFFC
    for (auto at = text.find(replacement); at != std::string::npos; at = text.find(replacement, at))
        text.erase(at, replacement.size());
    return text;
}

constexpr const char* accessibleInterface = "org.a11y.atspi.Accessible";
constexpr const char* textInterface = "org.a11y.atspi.Text";
constexpr const char* editableTextInterface = "org.a11y.atspi.EditableText";
constexpr const char* componentInterface = "org.a11y.atspi.Component";
constexpr const char* rootPath = "/org/a11y/atspi/accessible/root";
constexpr int snapshotTimeoutMs = 2000;
// Requests sent together ahead of a walk, and how far ahead it is foreseen
// (as far as one walk goes).
constexpr int requestsAhead = 64;
constexpr std::size_t foreseenElements = 4000;

// ---- the accessibility bus --------------------------------------------------------------

// A private connection to the accessibility bus, made on first use and remade
// if it closes. GDBus connections are safe to call from any thread and share
// nothing with the toolkit's own accessibility bridge in this process.
class AccessibilityBus {
public:
    static GRef<GDBusConnection> connection() {
        static std::mutex mutex;
        static GDBusConnection* bus = nullptr;
        std::lock_guard lock(mutex);
        if (bus && g_dbus_connection_is_closed(bus)) {
            g_object_unref(bus);
            bus = nullptr;
        }
        if (!bus) bus = open();
        return GRef<GDBusConnection>(bus ? static_cast<GDBusConnection*>(g_object_ref(bus)) : nullptr);
    }

    // Toolkits expose their trees while the accessibility bus says it is
    // enabled; this asks the session bus, never a target.
    static bool enable() {
        GRef<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
        if (!session) return false;
        auto call = [&](const char* method, GVariant* parameters) {
            return VariantRef(g_dbus_connection_call_sync(session.get(), "org.a11y.Bus", "/org/a11y/bus",
                                                          "org.freedesktop.DBus.Properties", method, parameters,
                                                          nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr));
        };
        if (auto reply = call("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"))) {
            GVariant* boxed = nullptr;
            g_variant_get(reply.get(), "(v)", &boxed);
            VariantRef owned(boxed);
            if (boxed && g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(boxed))
                return true;
        }
        return call("Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE))) !=
               nullptr;
    }

private:
    static GDBusConnection* open() {
        GRef<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
        if (!session) return nullptr;
        VariantRef reply(g_dbus_connection_call_sync(session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                     "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                     G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
        if (!reply) return nullptr;
        const gchar* address = nullptr;
        g_variant_get(reply.get(), "(&s)", &address);
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (bus) g_dbus_connection_set_exit_on_close(bus, FALSE);
        return bus;
    }
};

bool isInputRole(AtspiRole role) {
    return role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_PASSWORD_TEXT ||
           role == ATSPI_ROLE_COMBO_BOX;
}
bool isStaticTextRole(AtspiRole role) { return role == ATSPI_ROLE_LABEL || role == ATSPI_ROLE_STATIC; }

bool meansNotAnswering(const GError* error) {
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
           g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_DISCONNECTED);
}

}  // namespace

// ---- targets and elements ---------------------------------------------------------------

// One application as the target of one walk. It holds the walk's snapshot
// and whether the application has stopped answering: for a few seconds after
// it failed to answer, every call on it fails at once; after that it is asked
// again, so a target that was only busy can still be written to and restored.
struct AtspiAccessibility::Target {
    explicit Target(GRef<GDBusConnection> bus, int timeoutMs) : bus(std::move(bus)), timeoutMs(timeoutMs) {}

    const GRef<GDBusConnection> bus;
    // A direct connection to the application, when it offers one: no bus
    // daemon in between, and the only way some toolkits describe their tree.
    std::string peerOf;  // the application's bus name
    std::unique_ptr<AtspiDirectConnection> peer;
    int timeoutMs;
    std::mutex mutex;  // one operation at a time on this target's elements

    static constexpr std::chrono::seconds quiet{3};
    std::optional<std::chrono::steady_clock::time_point> stalledAt;
    void markUnresponsive() { stalledAt = std::chrono::steady_clock::now(); }
    bool unresponsive() const { return stalledAt && std::chrono::steady_clock::now() - *stalledAt < quiet; }

    // Taken once, at the start of the walk, and used while the walk keeps
    // reading it (a slow application makes a long walk); reads after a pause
    // (writing, restoring) ask the application itself.
    static constexpr std::chrono::seconds fresh{5};
    bool snapshotTried = false;  // and the direct connection
    std::optional<AtspiTreeSnapshot> snapshot;
    std::chrono::steady_clock::time_point snapshotUsed;
    const AtspiTreeSnapshot* freshSnapshot() {
        const auto now = std::chrono::steady_clock::now();
        if (snapshot && now - snapshotUsed > fresh) {
            snapshot.reset();
            forgetAhead();
        }
        snapshotUsed = now;
        return snapshot ? &*snapshot : nullptr;
    }

    // The requests the walk will make of the inputs and mixed rows it meets,
    // in the order it meets them (foreseen from the snapshot), by path and
    // method; sent in batches ahead of the walk, so the application answers
    // them while the walk goes on. Only what a snapshot foresees is sent ahead,
    // and only until the first write: writes and their checks wait for each
    // answer, and answers still to come are dropped with the snapshot and at
    // the first write.
    struct Ahead {
        std::string path;
        const char* interface;
        const char* method;
        bool sent = false;
    };
    std::optional<std::vector<Ahead>> ahead;
    std::unordered_map<std::string, std::size_t> aheadAt;
    bool written = false;
    void forgetAhead() {
        ahead.reset();
        aheadAt.clear();
        if (peer) peer->dropSent();
    }
};

// An element: the application's bus name and the element's object path.
class AtspiAccessibility::Element final : public AccessibleElement {
public:
    Element(std::string busName, std::string path, std::shared_ptr<Target> target, bool isApplication = false)
        : busName(std::move(busName)), path(std::move(path)), target(std::move(target)), isApplication(isApplication) {}

    const std::string busName;
    const std::string path;
    const std::shared_ptr<Target> target;
    const bool isApplication;
    // Fixed for an element's life, so remembered.
    std::optional<AtspiRole> role;
    std::optional<std::shared_ptr<Element>> editor;  // combo boxes: the editable text child, or null
};

// The requests of one operation on one target. A request that fails because
// the target did not answer marks it as not answering; reads are answered
// from the walk's snapshot where it has them.
class AtspiAccessibility::Calls {
public:
    Calls(const AtspiAccessibility& owner, Target& target) : owner_(owner), target_(target) {}

    bool stalled() const { return target_.unresponsive(); }

    VariantRef call(const Element& e, const char* interface, const char* method, GVariant* parameters,
                    const char* replyType, int timeoutMs = 0) {
        if (!target_.bus || stalled()) {
            if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
            return nullptr;
        }
        if (timeoutMs <= 0) timeoutMs = target_.timeoutMs;
        if (target_.peer && e.busName == target_.peerOf)
            return callDirectly(e, interface, method, parameters, replyType, timeoutMs);
        ++owner_.calls_;
        GError* raw = nullptr;
        VariantRef reply(g_dbus_connection_call_sync(target_.bus.get(), e.busName.c_str(), e.path.c_str(), interface,
                                                     method, parameters,
                                                     replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                     G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &raw));
        ErrorRef error(raw);
        if (error && meansNotAnswering(error.get())) target_.markUnresponsive();
        return reply;
    }

    VariantRef callDirectly(const Element& e, const char* interface, const char* method, GVariant* parameters,
                            const char* replyType, int timeoutMs) {
        auto& peer = *target_.peer;
        if (!peer.hasSent(e.path, interface, method)) sendAhead(e.path, method);
        if (peer.hasSent(e.path, interface, method)) {
            if (parameters) g_variant_unref(g_variant_ref_sink(parameters));  // sent ahead with the same
        } else {
            ++owner_.calls_;
            peer.send(e.path, interface, method, parameters);
        }
        auto answer = peer.collect(e.path, interface, method, timeoutMs);
        if (answer.notAnswering) target_.markUnresponsive();
        if (answer.body && replyType && !g_variant_is_of_type(answer.body.get(), G_VARIANT_TYPE(replyType)))
            return nullptr;
        return std::move(answer.body);
    }

    // Sends the next batch of foreseen requests, from this one on.
    void sendAhead(const std::string& path, const char* method) {
        auto* snapshot = target_.freshSnapshot();
        if (!snapshot || target_.written) return;
        if (!target_.ahead) foresee(*snapshot, path);
        auto at = target_.aheadAt.find(path + ' ' + method);
        if (at == target_.aheadAt.end()) return;
        auto& ahead = *target_.ahead;
        for (std::size_t i = at->second, sent = 0; i < ahead.size() && sent < requestsAhead; ++i) {
            if (ahead[i].sent) continue;
            ahead[i].sent = true;
            GVariant* parameters = nullptr;
            if (std::strcmp(ahead[i].method, "GetText") == 0) parameters = g_variant_new("(ii)", 0, -1);
            if (std::strcmp(ahead[i].method, "GetExtents") == 0)
                parameters = g_variant_new("(u)", guint32{ATSPI_COORD_TYPE_WINDOW});
            target_.peer->send(ahead[i].path, ahead[i].interface, ahead[i].method, parameters);
            ++owner_.calls_;
            ++sent;
        }
    }

    // What a walk from the window holding `path` will ask, breadth first as
    // it goes: of an input its labelling relation (when it has no name of its
    // own), its attributes and its text; of a row that mixes captions and
    // inputs, the extents of its children.
    void foresee(const AtspiTreeSnapshot& snapshot, const std::string& path) {
        auto& ahead = target_.ahead.emplace();
        auto plan = [&](std::string_view p, const char* interface, const char* method) {
            std::string key(p);
            target_.aheadAt.emplace(key.append(1, ' ').append(method), ahead.size());
            ahead.push_back({std::string(p), interface, method});
        };
        std::string_view window = path;
        for (std::size_t up = 0; up < foreseenElements; ++up) {
            const auto* item = snapshot.find(window);
            if (!item || item->parent == rootPath || item->parent.empty()) break;
            window = item->parent;
        }
        std::deque<std::string_view> queue{window};
        for (std::size_t visited = 0; !queue.empty() && visited < foreseenElements; ++visited) {
            const std::string_view p = queue.front();
            queue.pop_front();
            const auto* item = snapshot.find(p);
            if (!item) continue;
            auto children = snapshot.knownChildrenOf(p);
            if (children.size() > 200) children.resize(200);
            const auto role = item->role;
            if (isInputRole(role)) {
                if (item->name.empty() || role == ATSPI_ROLE_COMBO_BOX) plan(p, accessibleInterface, "GetRelationSet");
                plan(p, accessibleInterface, "GetAttributes");
                std::string_view holder = p;
                if (role == ATSPI_ROLE_COMBO_BOX) {
                    holder = {};
                    for (const auto& c : children)
                        if (const auto* child = snapshot.find(c);
                            child && (child->role == ATSPI_ROLE_TEXT || child->role == ATSPI_ROLE_ENTRY)) {
                            holder = c;
                            break;
                        }
                }
                const auto* text = snapshot.find(holder);
                if (role != ATSPI_ROLE_PASSWORD_TEXT && text && text->implements(textInterface))
                    plan(holder, textInterface, "GetText");
            }
            bool hasText = false, hasInput = false;
            for (const auto& c : children)
                if (const auto* child = snapshot.find(c)) {
                    hasText |= isStaticTextRole(child->role);
                    hasInput |= isInputRole(child->role);
                }
            for (const auto c : children) {
                if (const auto* child = snapshot.find(c);
                    hasText && hasInput && child && child->implements(componentInterface))
                    plan(c, componentInterface, "GetExtents");
                queue.push_back(c);
            }
        }
    }

    std::optional<std::string> property(const Element& e, const char* name) {
        auto reply =
            call(e, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", accessibleInterface, name), "(v)");
        if (!reply) return std::nullopt;
        GVariant* boxed = nullptr;
        g_variant_get(reply.get(), "(v)", &boxed);
        VariantRef owned(boxed);
        if (!boxed || !g_variant_is_of_type(boxed, G_VARIANT_TYPE_STRING)) return std::nullopt;
        return std::string(g_variant_get_string(boxed, nullptr));
    }

    const AtspiTreeSnapshot::Item* item(const Element& e) const {
        auto* snapshot = target_.freshSnapshot();
        return snapshot ? snapshot->find(e.path) : nullptr;
    }

    std::optional<AtspiRole> role(Element& e) {
        if (e.role) return e.role;
        if (auto* i = item(e)) return e.role = i->role;
        auto reply = call(e, accessibleInterface, "GetRole", nullptr, "(u)");
        if (!reply) return std::nullopt;
        guint32 role = 0;
        g_variant_get(reply.get(), "(u)", &role);
        return e.role = static_cast<AtspiRole>(role);
    }

    bool hasState(Element& e, AtspiStateType state) {
        if (auto* i = item(e)) return i->has(state);
        auto reply = call(e, accessibleInterface, "GetState", nullptr, "(au)");
        if (!reply) return false;
        GVariantIter* words = nullptr;
        g_variant_get(reply.get(), "(au)", &words);
        std::uint64_t states = 0;
        guint32 bits = 0;
        for (unsigned word = 0; word < 2 && g_variant_iter_next(words, "u", &bits); ++word)
            states |= static_cast<std::uint64_t>(bits) << (32 * word);
        g_variant_iter_free(words);
        return (states >> static_cast<unsigned>(state)) & 1u;
    }

    bool implements(Element& e, const char* interface) {
        if (auto* i = item(e)) return i->implements(interface);
        auto reply = call(e, accessibleInterface, "GetInterfaces", nullptr, "(as)");
        if (!reply) return false;
        GVariantIter* names = nullptr;
        g_variant_get(reply.get(), "(as)", &names);
        bool found = false;
        const gchar* name = nullptr;
        while (g_variant_iter_next(names, "&s", &name)) found |= std::strcmp(name, interface) == 0;
        g_variant_iter_free(names);
        return found;
    }

    std::optional<std::string> name(Element& e, bool description = false) {
        if (auto* i = item(e)) return std::string(description ? i->description : i->name);
        return property(e, description ? "Description" : "Name");
    }

    // The whole text through the Text interface; nothing without one.
    std::optional<std::string> text(Element& e, bool& failed) {
        failed = false;
        if (!implements(e, textInterface)) {
            failed = stalled();
            return std::nullopt;
        }
        auto reply = call(e, textInterface, "GetText", g_variant_new("(ii)", 0, -1), "(s)");
        if (!reply) {
            failed = true;
            return std::nullopt;
        }
        const gchar* text = nullptr;
        g_variant_get(reply.get(), "(&s)", &text);
        return std::string(text);
    }

    // A person can type into it. GTK keeps an insensitive entry EDITABLE and
    // accepts writes to it, so a disabled input is told by its states.
    bool enabled(Element& e) {
        return hasState(e, ATSPI_STATE_SENSITIVE) && hasState(e, ATSPI_STATE_ENABLED) && !stalled();
    }
    bool settable(Element& e) {
        if (!implements(e, editableTextInterface) || stalled()) return false;
        return hasState(e, ATSPI_STATE_EDITABLE) && !hasState(e, ATSPI_STATE_READ_ONLY) && enabled(e);
    }

    std::shared_ptr<Element> child(const Element& parent, std::string busName, std::string path) {
        return std::make_shared<Element>(std::move(busName), std::move(path), parent.target);
    }

    // Children in the application's order; nothing when unreadable.
    std::optional<std::vector<std::shared_ptr<Element>>> children(Element& e) {
        std::vector<std::shared_ptr<Element>> list;
        if (auto* snapshot = target_.freshSnapshot())
            if (auto paths = snapshot->childrenOf(e.path)) {
                for (auto& path : *paths) {
                    auto* item = snapshot->find(path);
                    list.push_back(child(e, e.busName, std::move(path)));
                    if (item) list.back()->role = item->role;  // known now: no second look-up
                }
                return list;
            }
        auto reply = call(e, accessibleInterface, "GetChildren", nullptr, "(a(so))");
        if (!reply) return std::nullopt;
        GVariantIter* refs = nullptr;
        g_variant_get(reply.get(), "(a(so))", &refs);
        const gchar* bus = nullptr;
        const gchar* path = nullptr;
        while (g_variant_iter_next(refs, "(&s&o)", &bus, &path)) list.push_back(child(e, bus, path));
        g_variant_iter_free(refs);
        return list;
    }

    // A combo box's editable TEXT child, which holds its value.
    std::shared_ptr<Element> editor(const std::shared_ptr<Element>& combo) {
        if (!combo->editor) {
            std::shared_ptr<Element> found;
            if (auto list = children(*combo))
                for (auto& candidate : *list) {
                    auto r = role(*candidate);
                    if (r == ATSPI_ROLE_TEXT || r == ATSPI_ROLE_ENTRY) {
                        found = candidate;
                        break;
                    }
                }
            if (stalled()) return nullptr;
            combo->editor = found;
        }
        return *combo->editor;
    }

    std::optional<ScreenBox> box(Element& e) {
        if (!implements(e, componentInterface)) return std::nullopt;
        auto reply = call(e, componentInterface, "GetExtents", g_variant_new("(u)", guint32{ATSPI_COORD_TYPE_WINDOW}),
                          "((iiii))");
        if (!reply) return std::nullopt;
        gint32 x = 0, y = 0, width = 0, height = 0;
        g_variant_get(reply.get(), "((iiii))", &x, &y, &width, &height);
        return ScreenBox{x, y, width, height};
    }

    // The first element that labels this one.
    std::shared_ptr<Element> labelledBy(Element& e) {
        auto reply = call(e, accessibleInterface, "GetRelationSet", nullptr, "(a(ua(so)))");
        if (!reply) return nullptr;
        GVariantIter* relations = nullptr;
        g_variant_get(reply.get(), "(a(ua(so)))", &relations);
        std::shared_ptr<Element> label;
        guint32 type = 0;
        GVariantIter* targets = nullptr;
        while (!label && g_variant_iter_next(relations, "(ua(so))", &type, &targets)) {
            const gchar* bus = nullptr;
            const gchar* path = nullptr;
            if (type == ATSPI_RELATION_LABELLED_BY && g_variant_iter_next(targets, "(&s&o)", &bus, &path))
                label = child(e, bus, path);
            g_variant_iter_free(targets);
        }
        g_variant_iter_free(relations);
        return label;
    }

    std::optional<std::string> attribute(Element& e, std::initializer_list<const char*> keys, bool& failed) {
        failed = false;
        auto reply = call(e, accessibleInterface, "GetAttributes", nullptr, "(a{ss})");
        if (!reply) {
            failed = true;
            return std::nullopt;
        }
        VariantRef map(g_variant_get_child_value(reply.get(), 0));
        for (const char* key : keys) {
            const gchar* value = nullptr;
            if (g_variant_lookup(map.get(), key, "&s", &value)) return std::string(value);
        }
        return std::nullopt;
    }

    bool write(Element& e, const std::string& text) {
        target_.forgetAhead();  // answers read before the write may be out of date
        target_.written = true;
        auto reply = call(e, editableTextInterface, "SetTextContents", g_variant_new("(s)", text.c_str()), "(b)");
        if (!reply) return false;
        gboolean done = FALSE;
        g_variant_get(reply.get(), "(b)", &done);
        return done;
    }

    // The application's own address, when it gives one and it takes a connection.
    void connectDirectly(Element& app) {
        auto reply = call(app, "org.a11y.atspi.Application", "GetApplicationBusAddress", nullptr, "(s)");
        if (!reply) return;
        const gchar* address = nullptr;
        g_variant_get(reply.get(), "(&s)", &address);
        if (!address || !*address) return;
        target_.peer = AtspiDirectConnection::open(address);
        if (target_.peer) target_.peerOf = app.busName;
    }

    // Once per walk, before the first window is read.
    void prepare(Element& app) {
        if (target_.snapshotTried) return;
        target_.snapshotTried = true;
        // The address is the short question: a stopped or vanished target is
        // found out within the short time-out. A live one may take longer to
        // describe a large tree; past the longer limit, the walk asks element
        // by element.
        connectDirectly(app);
        if (stalled() || !owner_.snapshots_) return;
        if (target_.peer) {
            ++owner_.calls_;
            target_.snapshot = AtspiTreeSnapshot::request(target_.peer->raw(), snapshotTimeoutMs);
        } else {
            Element cache(app.busName, "/org/a11y/atspi/cache", app.target);
            auto reply = call(cache, "org.a11y.atspi.Cache", "GetItems", nullptr, nullptr, snapshotTimeoutMs);
            if (stalled() && reply == nullptr) target_.stalledAt.reset();  // slow, not gone: walk live instead
            target_.snapshot = AtspiTreeSnapshot::fromReply(reply.get());
        }
        target_.snapshotUsed = std::chrono::steady_clock::now();
    }

private:
    const AtspiAccessibility& owner_;
    Target& target_;
};

// ---- the interface ----------------------------------------------------------------------

AtspiAccessibility::AtspiAccessibility(double callTimeoutSeconds, bool snapshots)
    : callTimeoutSeconds_(callTimeoutSeconds), snapshots_(snapshots) {}

std::shared_ptr<AtspiAccessibility::Element> AtspiAccessibility::element(const ElementRef& ref) const {
    return std::static_pointer_cast<Element>(ref);
}

ElementRef AtspiAccessibility::application(pid_t pid) {
    const int timeoutMs = std::max(1, static_cast<int>(callTimeoutSeconds_ * 1000));
    auto target = std::make_shared<Target>(AccessibilityBus::connection(), timeoutMs);
    // The bus daemon, not the application, knows each connection's process,
    // so a stopped application holds none of these questions.
    auto processOf = [&](const gchar* bus) -> std::optional<pid_t> {
        VariantRef owner(g_dbus_connection_call_sync(target->bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                     g_variant_new("(s)", bus), G_VARIANT_TYPE("(u)"),
                                                     G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
        guint32 owningPid = 0;
        if (!owner) return std::nullopt;
        g_variant_get(owner.get(), "(u)", &owningPid);
        return static_cast<pid_t>(owningPid);
    };
    // The application found last time, while its connection (whose name is
    // never given to another) still belongs to that process.
    std::pair<pid_t, std::string> last;
    {
        std::lock_guard lock(lastFoundMutex_);
        last = lastFound_;
    }
    std::string found;
    if (target->bus && last.first == pid && processOf(last.second.c_str()) == pid) found = last.second;
    if (target->bus && found.empty()) {
        // The registry lists the applications.
        VariantRef apps(g_dbus_connection_call_sync(
            target->bus.get(), "org.a11y.atspi.Registry", rootPath, accessibleInterface, "GetChildren", nullptr,
            G_VARIANT_TYPE("(a(so))"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
        GVariantIter* refs = nullptr;
        if (apps) g_variant_get(apps.get(), "(a(so))", &refs);
        const gchar* bus = nullptr;
        const gchar* path = nullptr;
        while (refs && found.empty() && g_variant_iter_next(refs, "(&s&o)", &bus, &path))
            if (processOf(bus) == pid) found = bus;
        if (refs) g_variant_iter_free(refs);
        std::lock_guard lock(lastFoundMutex_);
        if (!found.empty()) lastFound_ = {pid, found};
    }
    return std::make_shared<Element>(found, rootPath, target, true);
}

void AtspiAccessibility::setMessagingTimeout(const ElementRef& ref, double seconds) {
    // A longer request is capped to this backend's own time-out, so a hung
    // target cannot hold a fill.
    auto e = element(ref);
    std::lock_guard lock(e->target->mutex);
    e->target->timeoutMs = std::max(1, static_cast<int>(std::min(seconds, callTimeoutSeconds_) * 1000));
}

int AtspiAccessibility::setAttribute(const ElementRef& ref, Attribute attribute, const Value& value) {
    if (attribute == Attribute::manualAccessibility || attribute == Attribute::enhancedUserInterface) {
        // Both mean the one switch, set one right after the other: once seen
        // on, it is not asked about again for a moment.
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const auto seen = std::chrono::steady_clock::duration(switchSeenOn_.load());
        if (seen.count() != 0 && now - seen < std::chrono::seconds(1)) return success;
        if (!AccessibilityBus::enable()) return failure;
        switchSeenOn_ = now.count();
        return success;
    }
    if (attribute != Attribute::value) return attributeUnsupported;
    const auto* text = std::get_if<std::string>(&value);
    if (!text) return illegalArgument;

    auto e = element(ref);
    std::lock_guard lock(e->target->mutex);
    if (e->busName.empty()) return invalidElement;
    if (e->target->unresponsive()) return cannotComplete;
    Calls call(*this, *e->target);
    std::shared_ptr<Element> holder = e;
    if (call.role(*e) == ATSPI_ROLE_COMBO_BOX) holder = call.editor(e);
    if (!holder) return call.stalled() ? cannotComplete : attributeUnsupported;
    if (call.write(*holder, *text)) return success;
    return call.stalled() ? cannotComplete : failure;
}

Accessibility::Reading AtspiAccessibility::read(const ElementRef& ref, Attribute attribute) {
    auto e = element(ref);
    std::lock_guard lock(e->target->mutex);
    if (e->busName.empty()) return {invalidElement, {}};
    if (e->target->unresponsive()) return {cannotComplete, {}};
    Calls call(*this, *e->target);
    auto failed = [&](int status) { return Reading{call.stalled() ? static_cast<int>(cannotComplete) : status, {}}; };

    switch (attribute) {
        case Attribute::focusedWindow:
        case Attribute::windows: {
            if (!e->isApplication) return {attributeUnsupported, {}};
            call.prepare(*e);
            if (call.stalled()) return failed(failure);
            auto windows = call.children(*e);
            if (!windows) return failed(failure);
            if (attribute == Attribute::windows)
                return {success, std::vector<ElementRef>(windows->begin(), windows->end())};
            for (auto& window : *windows) {
                const bool active = call.hasState(*window, ATSPI_STATE_ACTIVE);
                if (call.stalled()) return failed(failure);
                if (active) return {success, ElementRef(window)};
            }
            return {noValue, {}};
        }
        case Attribute::role: {
            auto role = call.role(*e);
            if (!role) return failed(failure);
            if (isStaticTextRole(*role)) return {success, std::string(Role::staticText)};
            if (*role == ATSPI_ROLE_COMBO_BOX) return {success, std::string(Role::comboBox)};
            if (*role == ATSPI_ROLE_TEXT || *role == ATSPI_ROLE_ENTRY || *role == ATSPI_ROLE_PASSWORD_TEXT) {
                const bool multiLine = call.hasState(*e, ATSPI_STATE_MULTI_LINE);
                if (call.stalled()) return failed(failure);
                return {success, std::string(multiLine ? Role::textArea : Role::textField)};
            }
            return {success, "role:" + std::to_string(static_cast<int>(*role))};
        }
        case Attribute::subrole: {
            auto role = call.role(*e);
            if (!role) return failed(failure);
            if (*role == ATSPI_ROLE_PASSWORD_TEXT) return {success, std::string(Subrole::secureTextField)};
            return {noValue, {}};
        }
        case Attribute::value: {
            auto role = call.role(*e);
            if (!role) return failed(failure);
            std::shared_ptr<Element> holder = e;
            if (*role == ATSPI_ROLE_COMBO_BOX) {
                holder = call.editor(e);
                if (!holder) return failed(noValue);
            } else if (!isInputRole(*role)) {
                // Static texts and labelling elements: the name, else the text.
                auto name = call.name(*e);
                if (call.stalled()) return failed(failure);
                if (name && !name->empty()) return {success, withoutObjectReplacement(*name)};
            }
            bool readFailed = false;
            auto text = call.text(*holder, readFailed);
            if (!text) return failed(readFailed ? failure : noValue);
            return {success, withoutObjectReplacement(*text)};
        }
        case Attribute::title: {
            // A combo box's name is the text of its selected item, not a caption.
            auto role = call.role(*e);
            if (!role) return failed(failure);
            if (*role == ATSPI_ROLE_COMBO_BOX) return {noValue, {}};
            auto text = call.name(*e);
            if (!text) return failed(failure);
            return {success, *text};
        }
        case Attribute::description:
            // Toolkits put the tooltip there: it is help, read after the label element.
            return {attributeUnsupported, {}};
        case Attribute::help: {
            auto text = call.name(*e, true);
            if (!text) return failed(failure);
            return {success, *text};
        }
        case Attribute::titleElement: {
            auto label = call.labelledBy(*e);
            if (!label) return failed(noValue);
            return {success, ElementRef(label)};
        }
        case Attribute::placeholder: {
            bool readFailed = false;
            auto placeholder = call.attribute(*e, {"placeholder-text", "placeholder"}, readFailed);
            if (!placeholder) return failed(readFailed ? failure : noValue);
            return {success, *placeholder};
        }
        case Attribute::children: {
            auto children = call.children(*e);
            if (!children) return failed(failure);
            // A combo box's editor stands for the combo box itself.
            if (call.role(*e) == ATSPI_ROLE_COMBO_BOX)
                if (auto editor = call.editor(e))
                    std::erase_if(*children, [&](const auto& c) { return c->path == editor->path; });
            // Where captions and inputs are siblings, read them as a person does.
            bool hasText = false, hasInput = false;
            for (auto& child : *children) {
                auto role = call.role(*child);
                if (call.stalled()) return failed(failure);
                if (!role) continue;
                hasText |= isStaticTextRole(*role);
                hasInput |= isInputRole(*role);
            }
            if (hasText && hasInput) {
                std::vector<std::optional<ScreenBox>> boxes;
                for (auto& child : *children) {
                    boxes.push_back(call.box(*child));
                    if (call.stalled()) return failed(failure);
                }
                std::vector<std::shared_ptr<Element>> ordered;
                for (std::size_t i : readingOrder(boxes)) ordered.push_back((*children)[i]);
                children->swap(ordered);
            }
            return {success, std::vector<ElementRef>(children->begin(), children->end())};
        }
        case Attribute::manualAccessibility:
        case Attribute::enhancedUserInterface:
            return {attributeUnsupported, {}};
    }
    return {attributeUnsupported, {}};
}

bool AtspiAccessibility::isSettable(const ElementRef& ref, Attribute attribute) {
    if (attribute != Attribute::value) return false;
    auto e = element(ref);
    std::lock_guard lock(e->target->mutex);
    if (e->busName.empty() || e->target->unresponsive()) return false;
    Calls call(*this, *e->target);
    std::shared_ptr<Element> holder = e;
    if (call.role(*e) == ATSPI_ROLE_COMBO_BOX) {
        if (!call.enabled(*e)) return false;
        holder = call.editor(e);
    }
    return holder && call.settable(*holder);
}

}  // namespace vell::platform
