#include "platform/linux/AtspiAccessibility.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

#include "platform/ReadingOrder.h"

namespace vell::platform {
namespace {

// ---- owners of library objects ----------------------------------------------------------

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
using GString_ = std::unique_ptr<gchar, GFree>;

struct GErrorFree {
    void operator()(GError* e) const {
        if (e) g_error_free(e);
    }
};
using ErrorRef = std::unique_ptr<GError, GErrorFree>;

struct HashUnref {
    void operator()(GHashTable* t) const {
        if (t) g_hash_table_unref(t);
    }
};

struct RelationsFree {
    void operator()(GArray* relations) const {
        if (!relations) return;
        for (guint i = 0; i < relations->len; ++i) g_object_unref(g_array_index(relations, AtspiRelation*, i));
        g_array_free(relations, TRUE);
    }
};

// The object replacement character stands for embedded objects in AT-SPI text.
std::string withoutObjectReplacement(std::string text) {
    static const std::string replacement = "\xEF\xBF\xBC";  // U+FFFC
    for (auto at = text.find(replacement); at != std::string::npos; at = text.find(replacement, at))
        text.erase(at, replacement.size());
    return text;
}

// ---- the library, once per process ------------------------------------------------------

// libatspi keeps process-wide state; all calls go through this one lock, and
// its bus messages are dispatched on a private context drained under the lock.
class Library {
public:
    static Library& instance() {
        static Library* library = new Library();  // lives as long as the process
        return *library;
    }
    std::unique_lock<std::mutex> lock() {
        std::unique_lock guard(mutex_);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        return guard;
    }
    void setTimeout(double seconds) {
        const int ms = std::max(1, static_cast<int>(seconds * 1000));
        if (ms == timeoutMs_) return;
        timeoutMs_ = ms;
        atspi_set_timeout(ms, 0);  // 0: no grace period for an application's first contact
    }

private:
    Library() : context_(g_main_context_new()) {
        std::lock_guard guard(mutex_);
        atspi_init();
        atspi_set_main_context(context_);
    }
    std::mutex mutex_;
    GMainContext* context_;
    int timeoutMs_ = -1;
};

}  // namespace

// ---- elements ---------------------------------------------------------------------------

// One application as a target: once it fails to answer in time, it is
// treated as gone for the rest of this handle's life.
struct AtspiAccessibility::Target {
    bool unresponsive = false;
};

class AtspiAccessibility::Element final : public AccessibleElement {
public:
    Element(GRef<AtspiAccessible> object, std::shared_ptr<Target> target, bool isApplication = false)
        : object_(std::move(object)), target_(std::move(target)), isApplication_(isApplication) {}

    AtspiAccessible* object() const { return object_.get(); }
    Target& target() const { return *target_; }
    const std::shared_ptr<Target>& targetRef() const { return target_; }
    bool isApplication() const { return isApplication_; }

    // Role and the combo box's editor are fixed for an element's life; they are
    // remembered so that ordering siblings and the walk do not ask twice.
    std::optional<AtspiRole> role;
    std::optional<std::shared_ptr<Element>> editor;  // for combo boxes: the editable text child, or null

private:
    GRef<AtspiAccessible> object_;
    std::shared_ptr<Target> target_;
    bool isApplication_;
};

// The library calls of one operation on one target, each timed: a call that
// took about as long as the time-out is taken as the target not answering,
// and from then on the target counts as unresponsive.
class AtspiAccessibility::Calls {
public:
    Calls(double timeoutSeconds, std::atomic<long>& calls, bool& unresponsive)
        : timeout_(timeoutSeconds), calls_(calls), stalled_(unresponsive) {}

    template <typename F>
    auto operator()(bool& unresponsive, F&& call) {
        ++calls_;
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() >= timeout_ * 0.75) unresponsive = true;
        return result;
    }

    std::shared_ptr<Element> wrap(AtspiAccessible* object, const Element& relative) {
        return std::make_shared<Element>(GRef<AtspiAccessible>(object), relative.targetRef());
    }

    std::optional<AtspiRole> roleOf(Element& of) {
        bool& stalled = stalled_;
        auto& call = *this;
        if (!of.role) {
            GError* raw = nullptr;
            AtspiRole role = call(stalled, [&] { return atspi_accessible_get_role(of.object(), &raw); });
            ErrorRef error(raw);
            if (error) return std::nullopt;
            of.role = role;
        }
        return of.role;
    }

    // Children as elements, in the library's order; nullopt when unreadable.
    std::optional<std::vector<std::shared_ptr<Element>>> childrenOf(Element& of) {
        bool& stalled = stalled_;
        auto& call = *this;
        GError* raw = nullptr;
        const gint count = call(stalled, [&] { return atspi_accessible_get_child_count(of.object(), &raw); });
        ErrorRef error(raw);
        if (error || count < 0 || stalled) return std::nullopt;
        std::vector<std::shared_ptr<Element>> list;
        for (gint i = 0; i < count && !stalled; ++i) {
            AtspiAccessible* child = call(stalled, [&] { return atspi_accessible_get_child_at_index(of.object(), i, nullptr); });
            if (child) list.push_back(wrap(child, of));
        }
        if (stalled) return std::nullopt;
        return list;
    }

    // A combo box's editable TEXT child, which holds its value.
    std::shared_ptr<Element> editorOf(Element& combo) {
        bool& stalled = stalled_;
        if (!combo.editor) {
            std::shared_ptr<Element> found;
            if (auto children = childrenOf(combo))
                for (auto& child : *children) {
                    auto role = roleOf(*child);
                    if (role && (*role == ATSPI_ROLE_TEXT || *role == ATSPI_ROLE_ENTRY)) {
                        found = child;
                        break;
                    }
                }
            if (stalled) return nullptr;
            combo.editor = found;
        }
        return *combo.editor;
    }

private:
    double timeout_;
    std::atomic<long>& calls_;
    bool& stalled_;
};


AtspiAccessibility::AtspiAccessibility(double callTimeoutSeconds) : callTimeoutSeconds_(callTimeoutSeconds) {
    auto& library = Library::instance();
    auto guard = library.lock();
    library.setTimeout(callTimeoutSeconds_);
}

AtspiAccessibility::Element& AtspiAccessibility::element(const ElementRef& ref) const {
    return static_cast<Element&>(*ref);
}

ElementRef AtspiAccessibility::application(pid_t pid) {
    auto guard = Library::instance().lock();
    auto target = std::make_shared<Target>();
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    GRef<AtspiAccessible> found;
    if (desktop) {
        const gint count = atspi_accessible_get_child_count(desktop.get(), nullptr);
        for (gint i = 0; i < count && !found; ++i) {
            GRef<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
            // The process id comes from the bus daemon, not the application,
            // so a stopped application does not hold this loop.
            if (app && static_cast<pid_t>(atspi_accessible_get_process_id(app.get(), nullptr)) == pid)
                found = std::move(app);
        }
    }
    return std::make_shared<Element>(std::move(found), target, true);
}

void AtspiAccessibility::setMessagingTimeout(const ElementRef&, double seconds) {
    // libatspi has one time-out for all calls; a longer request is capped to
    // this backend's own so a hung target cannot hold a fill.
    auto& library = Library::instance();
    auto guard = library.lock();
    library.setTimeout(std::min(seconds, callTimeoutSeconds_));
}

namespace {

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    GRef<AtspiStateSet> states(atspi_accessible_get_state_set(object));
    return states && atspi_state_set_contains(states.get(), state);
}

bool isInputRole(AtspiRole role) {
    return role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_PASSWORD_TEXT ||
           role == ATSPI_ROLE_COMBO_BOX;
}
bool isStaticTextRole(AtspiRole role) { return role == ATSPI_ROLE_LABEL || role == ATSPI_ROLE_STATIC; }

std::optional<std::string> textOf(AtspiAccessible* object, GError** error) {
    GRef<AtspiText> text(atspi_accessible_get_text_iface(object));
    if (!text) return std::nullopt;
    GString_ contents(atspi_text_get_text(text.get(), 0, -1, error));
    if (!contents) return std::nullopt;
    return std::string(contents.get());
}

}  // namespace

int AtspiAccessibility::setAttribute(const ElementRef& ref, Attribute attribute, const Value& value) {
    if (attribute == Attribute::manualAccessibility || attribute == Attribute::enhancedUserInterface) {
        // Toolkits expose their trees while the accessibility bus says it is
        // enabled; this asks the session bus, never the target.
        ErrorRef error;
        GError* raw = nullptr;
        GRef<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
        error.reset(raw);
        if (!bus) return failure;
        auto call = [&](const char* method, GVariant* parameters) {
            GError* e = nullptr;
            GVariant* reply = g_dbus_connection_call_sync(bus.get(), "org.a11y.Bus", "/org/a11y/bus",
                                                          "org.freedesktop.DBus.Properties", method, parameters,
                                                          nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &e);
            ErrorRef owned(e);
            return reply;
        };
        GVariant* reply = call("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"));
        bool enabled = false;
        if (reply) {
            GVariant* boxed = nullptr;
            g_variant_get(reply, "(v)", &boxed);
            enabled = boxed && g_variant_get_boolean(boxed);
            if (boxed) g_variant_unref(boxed);
            g_variant_unref(reply);
        }
        if (enabled) return success;
        reply = call("Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)));
        if (!reply) return failure;
        g_variant_unref(reply);
        return success;
    }
    if (attribute != Attribute::value) return attributeUnsupported;
    const auto* text = std::get_if<std::string>(&value);
    if (!text) return illegalArgument;

    auto guard = Library::instance().lock();
    Element& e = element(ref);
    if (!e.object()) return invalidElement;
    if (e.target().unresponsive) return cannotComplete;
    Calls call(callTimeoutSeconds_, calls_, e.target().unresponsive);
    AtspiAccessible* writable = e.object();
    std::shared_ptr<Element> editorKeep;
    if (e.editor && *e.editor) {
        editorKeep = *e.editor;
        writable = editorKeep->object();
    }
    GRef<AtspiEditableText> editable(call(e.target().unresponsive, [&] { return atspi_accessible_get_editable_text_iface(writable); }));
    if (!editable) return e.target().unresponsive ? cannotComplete : attributeUnsupported;
    GError* raw = nullptr;
    const gboolean done = call(e.target().unresponsive, [&] {
        return atspi_editable_text_set_text_contents(editable.get(), text->c_str(), &raw);
    });
    ErrorRef error(raw);
    if (e.target().unresponsive) return cannotComplete;
    return done && !error ? success : failure;
}

Accessibility::Reading AtspiAccessibility::read(const ElementRef& ref, Attribute attribute) {
    auto guard = Library::instance().lock();
    Element& e = element(ref);
    if (!e.object()) return {invalidElement, {}};
    Target& target = e.target();
    if (target.unresponsive) return {cannotComplete, {}};
    Calls call(callTimeoutSeconds_, calls_, target.unresponsive);
    bool& stalled = target.unresponsive;
    auto roleOf = [&](Element& of) { return call.roleOf(of); };
    auto childrenOf = [&](Element& of) { return call.childrenOf(of); };
    auto editorOf = [&](Element& of) { return call.editorOf(of); };
    auto wrap = [&](AtspiAccessible* object) { return call.wrap(object, e); };
    auto stalledOr = [&](int status) { return Reading{stalled ? static_cast<int>(cannotComplete) : status, {}}; };

    switch (attribute) {
        case Attribute::focusedWindow:
        case Attribute::windows: {
            if (!e.isApplication()) return {attributeUnsupported, {}};
            auto windows = childrenOf(e);
            if (!windows) return stalledOr(failure);
            std::vector<ElementRef> list(windows->begin(), windows->end());
            if (attribute == Attribute::windows) return {success, list};
            for (auto& window : *windows) {
                const bool active = call(stalled, [&] { return hasState(window->object(), ATSPI_STATE_ACTIVE); });
                if (stalled) return stalledOr(failure);
                if (active) return {success, ElementRef(window)};
            }
            return {noValue, {}};
        }
        case Attribute::role: {
            auto role = roleOf(e);
            if (!role) return stalledOr(failure);
            if (isStaticTextRole(*role)) return {success, std::string(Role::staticText)};
            if (*role == ATSPI_ROLE_COMBO_BOX) return {success, std::string(Role::comboBox)};
            if (*role == ATSPI_ROLE_TEXT || *role == ATSPI_ROLE_ENTRY || *role == ATSPI_ROLE_PASSWORD_TEXT) {
                const bool multiLine = call(stalled, [&] { return hasState(e.object(), ATSPI_STATE_MULTI_LINE); });
                if (stalled) return stalledOr(failure);
                return {success, std::string(multiLine ? Role::textArea : Role::textField)};
            }
            GString_ name(atspi_role_get_name(*role));
            return {success, std::string(name ? name.get() : "unknown")};
        }
        case Attribute::subrole: {
            auto role = roleOf(e);
            if (!role) return stalledOr(failure);
            if (*role == ATSPI_ROLE_PASSWORD_TEXT) return {success, std::string(Subrole::secureTextField)};
            return {noValue, {}};
        }
        case Attribute::value: {
            auto role = roleOf(e);
            if (!role) return stalledOr(failure);
            AtspiAccessible* holder = e.object();
            std::shared_ptr<Element> editor;
            if (*role == ATSPI_ROLE_COMBO_BOX) {
                editor = editorOf(e);
                if (!editor) return stalledOr(noValue);
                holder = editor->object();
            }
            if (!isInputRole(*role)) {
                // Static texts and labelling elements: the name, else the text.
                GError* raw = nullptr;
                GString_ name(call(stalled, [&] { return atspi_accessible_get_name(holder, &raw); }));
                ErrorRef error(raw);
                if (stalled) return stalledOr(failure);
                if (name && *name) return {success, withoutObjectReplacement(name.get())};
            }
            GError* raw = nullptr;
            auto text = call(stalled, [&] { return textOf(holder, &raw); });
            ErrorRef error(raw);
            if (!text) return stalledOr(error ? failure : noValue);
            return {success, withoutObjectReplacement(*text)};
        }
        case Attribute::title:
        case Attribute::description: {
            GError* raw = nullptr;
            GString_ text(call(stalled, [&] {
                return attribute == Attribute::title ? atspi_accessible_get_name(e.object(), &raw)
                                                     : atspi_accessible_get_description(e.object(), &raw);
            }));
            ErrorRef error(raw);
            if (!text) return stalledOr(failure);
            return {success, std::string(text.get())};
        }
        case Attribute::titleElement: {
            GError* raw = nullptr;
            std::unique_ptr<GArray, RelationsFree> relations(
                call(stalled, [&] { return atspi_accessible_get_relation_set(e.object(), &raw); }));
            ErrorRef error(raw);
            if (!relations) return stalledOr(failure);
            for (guint i = 0; i < relations->len; ++i) {
                AtspiRelation* relation = g_array_index(relations.get(), AtspiRelation*, i);
                if (atspi_relation_get_relation_type(relation) == ATSPI_RELATION_LABELLED_BY &&
                    atspi_relation_get_n_targets(relation) > 0)
                    if (AtspiAccessible* label = atspi_relation_get_target(relation, 0))
                        return {success, ElementRef(wrap(label))};
            }
            return {noValue, {}};
        }
        case Attribute::help:
            return {attributeUnsupported, {}};
        case Attribute::placeholder: {
            GError* raw = nullptr;
            std::unique_ptr<GHashTable, HashUnref> attributes(
                call(stalled, [&] { return atspi_accessible_get_attributes(e.object(), &raw); }));
            ErrorRef error(raw);
            if (!attributes) return stalledOr(failure);
            for (const char* key : {"placeholder-text", "placeholder"})
                if (auto* v = static_cast<const char*>(g_hash_table_lookup(attributes.get(), key)))
                    return {success, std::string(v)};
            return {noValue, {}};
        }
        case Attribute::children: {
            auto children = childrenOf(e);
            if (!children) return stalledOr(failure);
            // A combo box's editor stands for the combo box itself.
            auto role = roleOf(e);
            if (role == ATSPI_ROLE_COMBO_BOX)
                if (auto editor = editorOf(e))
                    std::erase_if(*children, [&](const auto& c) { return c->object() == editor->object(); });
            // Where captions and inputs are siblings, read them as a person does.
            bool hasText = false, hasInput = false;
            for (auto& child : *children) {
                auto childRole = roleOf(*child);
                if (stalled) return stalledOr(failure);
                if (!childRole) continue;
                hasText |= isStaticTextRole(*childRole);
                hasInput |= isInputRole(*childRole);
            }
            if (hasText && hasInput) {
                std::vector<std::optional<ScreenBox>> boxes;
                for (auto& child : *children) {
                    std::optional<ScreenBox> box;
                    GRef<AtspiComponent> component(atspi_accessible_get_component_iface(child->object()));
                    if (component) {
                        GError* rawExtents = nullptr;
                        std::unique_ptr<AtspiRect, GFree> rect(call(stalled, [&] {
                            return atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_WINDOW, &rawExtents);
                        }));
                        ErrorRef extentsError(rawExtents);
                        if (rect && !extentsError) box = ScreenBox{rect->x, rect->y, rect->width, rect->height};
                    }
                    if (stalled) return stalledOr(failure);
                    boxes.push_back(box);
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
    auto guard = Library::instance().lock();
    Element& e = element(ref);
    if (!e.object() || e.target().unresponsive) return false;
    Calls call(callTimeoutSeconds_, calls_, e.target().unresponsive);
    bool& stalled = e.target().unresponsive;
    AtspiAccessible* holder = e.object();
    std::shared_ptr<Element> editor;
    if (call.roleOf(e) == ATSPI_ROLE_COMBO_BOX) {
        editor = call.editorOf(e);
        if (!editor) return false;
        holder = editor->object();
    }
    GRef<AtspiEditableText> editable(call(stalled, [&] { return atspi_accessible_get_editable_text_iface(holder); }));
    if (!editable || stalled) return false;
    GRef<AtspiStateSet> states(call(stalled, [&] { return atspi_accessible_get_state_set(holder); }));
    if (!states || stalled) return false;
    return atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
           !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
}

}  // namespace vell::platform
