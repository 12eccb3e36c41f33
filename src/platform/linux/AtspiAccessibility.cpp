#include "platform/linux/AtspiAccessibility.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <type_traits>

#include "platform/ReadingOrder.h"
#include "platform/linux/AtspiTreeSnapshot.h"

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
using GText = std::unique_ptr<gchar, GFree>;

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

struct GVariantUnref {
    void operator()(GVariant* v) const {
        if (v) g_variant_unref(v);
    }
};
using VariantRef = std::unique_ptr<GVariant, GVariantUnref>;

// The object replacement character stands for embedded objects in AT-SPI text.
std::string withoutObjectReplacement(std::string text) {
    static const std::string replacement = "\xEF\xBF\xBC";  // U+FFFC
    for (auto at = text.find(replacement); at != std::string::npos; at = text.find(replacement, at))
        text.erase(at, replacement.size());
    return text;
}

std::string pathOf(AtspiAccessible* object) {
    const char* path = object ? ATSPI_OBJECT(object)->path : nullptr;
    return path ? path : "";
}

constexpr int snapshotTimeoutMs = 2000;
constexpr const char* textInterface = "org.a11y.atspi.Text";
constexpr const char* editableTextInterface = "org.a11y.atspi.EditableText";

// ---- the library, once per process ------------------------------------------------------

// libatspi keeps process-wide state; all calls go through this one lock
// (recursive, since releasing an element takes it too, also from inside a
// call), and its bus messages are dispatched on a private context drained
// under the lock.
class Library {
public:
    static Library& instance() {
        static Library* library = new Library();  // lives as long as the process
        return *library;
    }
    std::unique_lock<std::recursive_mutex> lock() {
        std::unique_lock guard(mutex_);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        return guard;
    }
    std::unique_lock<std::recursive_mutex> hold() { return std::unique_lock(mutex_); }
    void setTimeout(double seconds) {
        const int ms = std::max(1, static_cast<int>(seconds * 1000));
        if (ms == timeoutMs_) return;
        timeoutMs_ = ms;
        atspi_set_timeout(ms, 0);  // 0: no grace period for an application's first contact
    }
    int timeoutMs() const { return timeoutMs_; }

private:
    Library() : context_(g_main_context_new()) {
        std::lock_guard guard(mutex_);
        atspi_init();
        atspi_set_main_context(context_);
    }
    std::recursive_mutex mutex_;
    GMainContext* context_;
    int timeoutMs_ = -1;
};


}  // namespace

// ---- elements ---------------------------------------------------------------------------

// One application as a target of one walk: its snapshot, and whether it has
// stopped answering. For a few seconds after it failed to answer, every call
// on it fails at once; after that it is asked again, so a target that was
// only busy can still be written to and restored.
struct AtspiAccessibility::Target {
    static constexpr std::chrono::seconds quiet{3};
    std::optional<std::chrono::steady_clock::time_point> stalledAt;
    void markUnresponsive() { stalledAt = std::chrono::steady_clock::now(); }
    bool unresponsive() const { return stalledAt && std::chrono::steady_clock::now() - *stalledAt < quiet; }

    // Taken once, at the start of the walk, and used only while fresh: later
    // reads (writing, restoring) ask the application itself.
    static constexpr std::chrono::seconds fresh{5};
    bool snapshotTried = false;
    std::optional<AtspiTreeSnapshot> snapshot;
    std::chrono::steady_clock::time_point snapshotTaken;
    const AtspiTreeSnapshot* freshSnapshot() {
        if (snapshot && std::chrono::steady_clock::now() - snapshotTaken > fresh) snapshot.reset();
        return snapshot ? &*snapshot : nullptr;
    }
};

class AtspiAccessibility::Element final : public AccessibleElement {
public:
    // An element the library handed out.
    Element(GRef<AtspiAccessible> object, std::shared_ptr<Target> target, bool isApplication = false)
        : path(pathOf(object.get())), target(std::move(target)), isApplication(isApplication), object_(std::move(object)) {}
    // An element known from the snapshot: the library object is fetched only
    // when something must be asked of it, as the parent's child at `index`.
    Element(std::string path, std::shared_ptr<Element> parent, int index)
        : path(std::move(path)), target(parent->target), parent_(std::move(parent)), index_(index) {}
    // Handles are dropped on any thread; the library object goes under the lock.
    ~Element() override {
        auto guard = Library::instance().hold();
        object_.reset();
        parent_.reset();
    }
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;

    const std::string path;
    const std::shared_ptr<Target> target;
    const bool isApplication = false;
    // Fixed for an element's life, so remembered.
    std::optional<AtspiRole> role;
    std::optional<std::shared_ptr<Element>> editor;  // combo boxes: the editable text child, or null

    AtspiAccessible* known() const { return object_.get(); }
    const std::shared_ptr<Element>& parent() const { return parent_; }
    int index() const { return index_; }
    void resolve(GRef<AtspiAccessible> object) { object_ = std::move(object); }

private:
    std::shared_ptr<Element> parent_;
    int index_ = -1;
    GRef<AtspiAccessible> object_;
};

// The library calls of one operation, each timed: a call that took about as
// long as the time-out is taken as the target not answering, and from then on
// the target counts as unresponsive. Reads are answered from the walk's
// snapshot where it has them.
class AtspiAccessibility::Calls {
public:
    Calls(const AtspiAccessibility& owner, Target& target) : owner_(owner), target_(target) {}

    bool stalled() const { return target_.unresponsive(); }

    // Runs one call. It failed when it set `error` or, for calls that hand
    // back an object, returned none; a failure that took about as long as the
    // time-out means the target did not answer. A slow answer is still an
    // answer.
    template <typename F>
    auto operator()(F&& call, GError** error = nullptr) {
        ++owner_.calls_;
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        bool failed = error && *error;
        if constexpr (std::is_pointer_v<decltype(result)>) failed |= result == nullptr;
        if (failed && took.count() >= owner_.callTimeoutSeconds_ * 0.75) target_.markUnresponsive();
        return result;
    }

    const AtspiTreeSnapshot::Item* item(const Element& e) const {
        auto* snapshot = target_.freshSnapshot();
        return snapshot ? snapshot->find(e.path) : nullptr;
    }

    // The library object, fetched through the parent when only the snapshot knew it.
    AtspiAccessible* object(Element& e) {
        if (e.known() || !e.parent() || stalled()) return e.known();
        AtspiAccessible* parent = object(*e.parent());
        if (!parent) return nullptr;
        GRef<AtspiAccessible> child((*this)([&] { return atspi_accessible_get_child_at_index(parent, e.index(), nullptr); }));
        if (child && pathOf(child.get()) == e.path) e.resolve(std::move(child));
        return e.known();
    }

    std::optional<AtspiRole> role(Element& e) {
        if (e.role) return e.role;
        if (auto* i = item(e)) return e.role = i->role;
        AtspiAccessible* o = object(e);
        if (!o) return std::nullopt;
        GError* raw = nullptr;
        AtspiRole role = (*this)([&] { return atspi_accessible_get_role(o, &raw); }, &raw);
        ErrorRef error(raw);
        if (error) return std::nullopt;
        return e.role = role;
    }

    bool hasState(Element& e, AtspiStateType state) {
        if (auto* i = item(e)) return i->has(state);
        AtspiAccessible* o = object(e);
        if (!o) return false;
        GRef<AtspiStateSet> states((*this)([&] { return atspi_accessible_get_state_set(o); }));
        return states && atspi_state_set_contains(states.get(), state);
    }

    std::optional<std::string> name(Element& e, bool description = false) {
        if (auto* i = item(e)) return description ? i->description : i->name;
        AtspiAccessible* o = object(e);
        if (!o) return std::nullopt;
        GError* raw = nullptr;
        GText text((*this)([&] {
            return description ? atspi_accessible_get_description(o, &raw) : atspi_accessible_get_name(o, &raw);
        }, &raw));
        ErrorRef error(raw);
        if (!text) return std::nullopt;
        return std::string(text.get());
    }

    // The whole text through the Text interface; nothing without one.
    std::optional<std::string> text(Element& e, bool& failed) {
        if (auto* i = item(e); i && !i->implements(textInterface)) return std::nullopt;
        AtspiAccessible* o = object(e);
        GRef<AtspiText> text(o ? (*this)([&] { return atspi_accessible_get_text_iface(o); }) : nullptr);
        if (!text) {
            failed = !o;
            return std::nullopt;
        }
        GError* raw = nullptr;
        GText contents((*this)([&] { return atspi_text_get_text(text.get(), 0, -1, &raw); }, &raw));
        ErrorRef error(raw);
        failed = !contents;
        if (!contents) return std::nullopt;
        return std::string(contents.get());
    }

    bool settable(Element& e) {
        if (auto* i = item(e))
            return i->implements(editableTextInterface) && i->has(ATSPI_STATE_EDITABLE) && !i->has(ATSPI_STATE_READ_ONLY);
        AtspiAccessible* o = object(e);
        if (!o) return false;
        GRef<AtspiEditableText> editable((*this)([&] { return atspi_accessible_get_editable_text_iface(o); }));
        if (!editable || stalled()) return false;
        GRef<AtspiStateSet> states((*this)([&] { return atspi_accessible_get_state_set(o); }));
        return states && atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
               !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
    }

    // Children in the application's order; nothing when unreadable.
    std::optional<std::vector<std::shared_ptr<Element>>> children(const std::shared_ptr<Element>& e) {
        std::vector<std::shared_ptr<Element>> list;
        if (auto* snapshot = target_.freshSnapshot())
            if (auto paths = snapshot->childrenOf(e->path)) {
                for (std::size_t i = 0; i < paths->size(); ++i)
                    list.push_back(std::make_shared<Element>((*paths)[i], e, static_cast<int>(i)));
                return list;
            }
        AtspiAccessible* o = object(*e);
        if (!o) return std::nullopt;
        GError* raw = nullptr;
        const gint count = (*this)([&] { return atspi_accessible_get_child_count(o, &raw); }, &raw);
        ErrorRef error(raw);
        if (error || count < 0 || stalled()) return std::nullopt;
        for (gint i = 0; i < count && !stalled(); ++i) {
            AtspiAccessible* child = (*this)([&] { return atspi_accessible_get_child_at_index(o, i, nullptr); });
            if (child) list.push_back(std::make_shared<Element>(GRef<AtspiAccessible>(child), e->target));
        }
        if (stalled()) return std::nullopt;
        return list;
    }

    // A combo box's editable TEXT child, which holds its value.
    std::shared_ptr<Element> editor(const std::shared_ptr<Element>& combo) {
        if (!combo->editor) {
            std::shared_ptr<Element> found;
            if (auto list = children(combo))
                for (auto& child : *list) {
                    auto r = role(*child);
                    if (r == ATSPI_ROLE_TEXT || r == ATSPI_ROLE_ENTRY) {
                        found = child;
                        break;
                    }
                }
            if (stalled()) return nullptr;
            combo->editor = found;
        }
        return *combo->editor;
    }

    std::optional<ScreenBox> box(Element& e) {
        AtspiAccessible* o = object(e);
        if (!o) return std::nullopt;
        GRef<AtspiComponent> component((*this)([&] { return atspi_accessible_get_component_iface(o); }));
        if (!component) return std::nullopt;
        GError* raw = nullptr;
        std::unique_ptr<AtspiRect, GFree> rect(
            (*this)([&] { return atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_WINDOW, &raw); }, &raw));
        ErrorRef error(raw);
        if (!rect || error) return std::nullopt;
        return ScreenBox{rect->x, rect->y, rect->width, rect->height};
    }

    void takeSnapshot(Element& app) {
        if (target_.snapshotTried || !owner_.snapshots_ || !app.known()) return;
        target_.snapshotTried = true;
        AtspiApplication* application = ATSPI_OBJECT(app.known())->app;
        if (!application || !application->bus || !application->bus_name) return;
        // A short question first: a stopped or vanished target is found out
        // within the short time-out. A live one may take longer to describe a
        // large tree; past the longer limit, the walk asks element by element.
        ++owner_.calls_;
        if (!AtspiTreeSnapshot::answers(application->bus, application->bus_name, Library::instance().timeoutMs())) {
            target_.markUnresponsive();
            return;
        }
        ++owner_.calls_;
        bool gone = false;
        target_.snapshot = AtspiTreeSnapshot::read(application->bus, application->bus_name, snapshotTimeoutMs, gone);
        target_.snapshotTaken = std::chrono::steady_clock::now();
        if (gone) target_.markUnresponsive();
    }

private:
    const AtspiAccessibility& owner_;
    Target& target_;
};

namespace {

bool isInputRole(AtspiRole role) {
    return role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_PASSWORD_TEXT ||
           role == ATSPI_ROLE_COMBO_BOX;
}
bool isStaticTextRole(AtspiRole role) { return role == ATSPI_ROLE_LABEL || role == ATSPI_ROLE_STATIC; }

}  // namespace

AtspiAccessibility::AtspiAccessibility(double callTimeoutSeconds, bool snapshots)
    : callTimeoutSeconds_(callTimeoutSeconds), snapshots_(snapshots) {
    auto& library = Library::instance();
    auto guard = library.lock();
    library.setTimeout(callTimeoutSeconds_);
}

std::shared_ptr<AtspiAccessibility::Element> AtspiAccessibility::element(const ElementRef& ref) const {
    return std::static_pointer_cast<Element>(ref);
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

int AtspiAccessibility::setAttribute(const ElementRef& ref, Attribute attribute, const Value& value) {
    if (attribute == Attribute::manualAccessibility || attribute == Attribute::enhancedUserInterface)
        return enableAccessibilityBus() ? success : failure;
    if (attribute != Attribute::value) return attributeUnsupported;
    const auto* text = std::get_if<std::string>(&value);
    if (!text) return illegalArgument;

    auto guard = Library::instance().lock();
    auto e = element(ref);
    if (e->target->unresponsive()) return cannotComplete;
    Calls call(*this, *e->target);
    std::shared_ptr<Element> holder = e;
    if (call.role(*e) == ATSPI_ROLE_COMBO_BOX) holder = call.editor(e);
    AtspiAccessible* object = holder ? call.object(*holder) : nullptr;
    if (!object) return call.stalled() ? cannotComplete : invalidElement;
    GRef<AtspiEditableText> editable(call([&] { return atspi_accessible_get_editable_text_iface(object); }));
    if (!editable) return call.stalled() ? cannotComplete : attributeUnsupported;
    GError* raw = nullptr;
    const gboolean done = call([&] { return atspi_editable_text_set_text_contents(editable.get(), text->c_str(), &raw); }, &raw);
    ErrorRef error(raw);
    if (done && !error) return success;
    return call.stalled() ? cannotComplete : failure;
}

bool AtspiAccessibility::enableAccessibilityBus() {
    // Toolkits expose their trees while the accessibility bus says it is
    // enabled; this asks the session bus, never the target.
    GError* raw = nullptr;
    GRef<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    ErrorRef error(raw);
    if (!bus) return false;
    auto call = [&](const char* method, GVariant* parameters) {
        GError* e = nullptr;
        VariantRef reply(g_dbus_connection_call_sync(bus.get(), "org.a11y.Bus", "/org/a11y/bus",
                                                     "org.freedesktop.DBus.Properties", method, parameters, nullptr,
                                                     G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &e));
        ErrorRef owned(e);
        return reply;
    };
    if (auto reply = call("Get", g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"))) {
        GVariant* boxed = nullptr;
        g_variant_get(reply.get(), "(v)", &boxed);
        VariantRef owned(boxed);
        if (boxed && g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(boxed)) return true;
    }
    return call("Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE))) != nullptr;
}

Accessibility::Reading AtspiAccessibility::read(const ElementRef& ref, Attribute attribute) {
    auto guard = Library::instance().lock();
    auto e = element(ref);
    if (e->isApplication && !e->known()) return {invalidElement, {}};
    if (e->target->unresponsive()) return {cannotComplete, {}};
    Calls call(*this, *e->target);
    auto failed = [&](int status) { return Reading{call.stalled() ? static_cast<int>(cannotComplete) : status, {}}; };

    switch (attribute) {
        case Attribute::focusedWindow:
        case Attribute::windows: {
            if (!e->isApplication) return {attributeUnsupported, {}};
            call.takeSnapshot(*e);
            if (call.stalled()) return failed(failure);
            auto windows = call.children(e);
            if (!windows) return failed(failure);
            if (attribute == Attribute::windows) return {success, std::vector<ElementRef>(windows->begin(), windows->end())};
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
            GText name(atspi_role_get_name(*role));
            return {success, std::string(name ? name.get() : "unknown")};
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
        case Attribute::title:
        case Attribute::description: {
            auto text = call.name(*e, attribute == Attribute::description);
            if (!text) return failed(failure);
            return {success, *text};
        }
        case Attribute::titleElement: {
            AtspiAccessible* object = call.object(*e);
            if (!object) return failed(failure);
            GError* raw = nullptr;
            std::unique_ptr<GArray, RelationsFree> relations(
                call([&] { return atspi_accessible_get_relation_set(object, &raw); }, &raw));
            ErrorRef error(raw);
            if (!relations) return failed(failure);
            for (guint i = 0; i < relations->len; ++i) {
                AtspiRelation* relation = g_array_index(relations.get(), AtspiRelation*, i);
                if (atspi_relation_get_relation_type(relation) == ATSPI_RELATION_LABELLED_BY &&
                    atspi_relation_get_n_targets(relation) > 0)
                    if (AtspiAccessible* label = atspi_relation_get_target(relation, 0))
                        return {success, ElementRef(std::make_shared<Element>(GRef<AtspiAccessible>(label), e->target))};
            }
            return {noValue, {}};
        }
        case Attribute::help:
            return {attributeUnsupported, {}};
        case Attribute::placeholder: {
            AtspiAccessible* object = call.object(*e);
            if (!object) return failed(failure);
            GError* raw = nullptr;
            std::unique_ptr<GHashTable, HashUnref> attributes(
                call([&] { return atspi_accessible_get_attributes(object, &raw); }, &raw));
            ErrorRef error(raw);
            if (!attributes) return failed(failure);
            for (const char* key : {"placeholder-text", "placeholder"})
                if (auto* v = static_cast<const char*>(g_hash_table_lookup(attributes.get(), key)))
                    return {success, std::string(v)};
            return {noValue, {}};
        }
        case Attribute::children: {
            auto children = call.children(e);
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
    auto guard = Library::instance().lock();
    auto e = element(ref);
    if (e->target->unresponsive()) return false;
    Calls call(*this, *e->target);
    std::shared_ptr<Element> holder = e;
    if (call.role(*e) == ATSPI_ROLE_COMBO_BOX) holder = call.editor(e);
    return holder && call.settable(*holder);
}

}  // namespace vell::platform
