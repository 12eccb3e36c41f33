#include "platform/linux/AtspiTreeSnapshot.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>

namespace vell::platform {

unsigned AtspiTreeSnapshot::interfaceBit(const char* interface) {
    for (std::size_t i = 0; i < std::size(knownInterfaces); ++i)
        if (std::strcmp(knownInterfaces[i], interface) == 0) return 1u << i;
    return 0;
}

bool AtspiTreeSnapshot::Item::implements(const char* interface) const {
    const unsigned bit = interfaceBit(interface);
    return bit && (interfaces & bit);
}

const AtspiTreeSnapshot::Item* AtspiTreeSnapshot::find(std::string_view path) const {
    auto it = items_.find(path);
    return it == items_.end() ? nullptr : &it->second;
}

std::optional<std::vector<std::string>> AtspiTreeSnapshot::childrenOf(const std::string& path) const {
    const Item* item = find(path);
    if (!item) return std::nullopt;
    auto it = children_.find(path);
    const std::size_t have = it == children_.end() ? 0 : it->second.size();
    if (have != static_cast<std::size_t>(std::max(item->childCount, 0))) return std::nullopt;
    std::vector<std::string> paths;
    if (it == children_.end()) return paths;
    paths.reserve(it->second.size());
    for (std::size_t i = 0; i < it->second.size(); ++i) {
        if (it->second[i].first != static_cast<int>(i)) return std::nullopt;  // a gap: ask live
        paths.emplace_back(it->second[i].second);
    }
    return paths;
}

std::vector<std::string_view> AtspiTreeSnapshot::knownChildrenOf(std::string_view path) const {
    std::vector<std::string_view> paths;
    if (auto it = children_.find(path); it != children_.end()) {
        paths.reserve(it->second.size());
        for (const auto& [index, child] : it->second) paths.push_back(child);
    }
    return paths;
}

namespace {

// Children of a reply as GDBus hands it over: built value by value, so each
// child is a reference away, where a format string would first serialise the
// whole reply and then parse its own format for every entry.
struct Child {
    GVariant* value;
    Child(GVariant* parent, gsize index) : value(g_variant_get_child_value(parent, index)) {}
    ~Child() { g_variant_unref(value); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    operator GVariant*() const { return value; }
};

const gchar* string(GVariant* parent, gsize index) {
    Child child(parent, index);
    return g_variant_get_string(child, nullptr);  // owned by the parent, which holds the child
}
const gchar* objectPath(GVariant* parent, gsize index) {
    Child reference(parent, index);
    return string(reference, 1);
}

}  // namespace

std::optional<AtspiTreeSnapshot> AtspiTreeSnapshot::fromReply(GVariant* reply) {
    if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE(replyType))) return std::nullopt;
    AtspiTreeSnapshot snapshot;
    snapshot.answer_ = std::shared_ptr<GVariant>(g_variant_ref(reply), g_variant_unref);
    Child list(reply, 0);
    const gsize count = g_variant_n_children(list);
    snapshot.items_.reserve(count);
    for (gsize n = 0; n < count; ++n) {
        Child entry(list, n);
        Item item;
        const std::string_view path = objectPath(entry, 0);
        item.parent = objectPath(entry, 2);
        item.index = g_variant_get_int32(Child(entry, 3));
        item.childCount = g_variant_get_int32(Child(entry, 4));
        {
            Child interfaces(entry, 5);
            for (gsize i = 0, size = g_variant_n_children(interfaces); i < size; ++i)
                item.interfaces |= interfaceBit(string(interfaces, i));
        }
        item.name = string(entry, 6);
        item.role = static_cast<AtspiRole>(g_variant_get_uint32(Child(entry, 7)));
        item.description = string(entry, 8);
        {
            Child states(entry, 9);
            for (gsize word = 0, size = std::min<gsize>(g_variant_n_children(states), 2); word < size; ++word)
                item.states |= static_cast<std::uint64_t>(g_variant_get_uint32(Child(states, word))) << (32 * word);
        }
        snapshot.add(path, item);
    }
    snapshot.sortChildren();
    return snapshot;
}

void AtspiTreeSnapshot::add(std::string_view path, const Item& item) {
    if (item.index >= 0) children_[item.parent].emplace_back(item.index, path);
    items_.emplace(path, item);
}

void AtspiTreeSnapshot::sortChildren() {
    for (auto& [parent, children] : children_) std::sort(children.begin(), children.end());
}

namespace {

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};

// The field under the iterator, then moves on.
const char* nextString(DBusMessageIter& it) {
    const char* value = nullptr;
    dbus_message_iter_get_basic(&it, &value);
    dbus_message_iter_next(&it);
    return value;
}
template <typename Number>
Number nextNumber(DBusMessageIter& it) {
    Number value{};
    dbus_message_iter_get_basic(&it, &value);
    dbus_message_iter_next(&it);
    return value;
}
// The object path of a (so) reference.
const char* nextPath(DBusMessageIter& it) {
    DBusMessageIter reference;
    dbus_message_iter_recurse(&it, &reference);
    dbus_message_iter_next(&reference);
    dbus_message_iter_next(&it);
    return nextString(reference);
}

}  // namespace

std::optional<AtspiTreeSnapshot> AtspiTreeSnapshot::request(DBusConnection* connection, int timeoutMs) {
    std::unique_ptr<DBusMessage, MessageUnref> question(
        dbus_message_new_method_call(nullptr, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems"));
    if (!question) return std::nullopt;
    DBusError error;
    dbus_error_init(&error);
    std::unique_ptr<DBusMessage, MessageUnref> reply(
        dbus_connection_send_with_reply_and_block(connection, question.get(), timeoutMs, &error));
    dbus_error_free(&error);
    // The shape is checked once, so each field below is read without asking its type.
    const std::string_view body(replyType);  // the reply's one argument, without the tuple around it
    if (!reply || body.substr(1, body.size() - 2) != dbus_message_get_signature(reply.get())) return std::nullopt;

    AtspiTreeSnapshot snapshot;
    DBusMessageIter top, list;
    dbus_message_iter_init(reply.get(), &top);
    dbus_message_iter_recurse(&top, &list);
    while (dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&list, &entry);
        dbus_message_iter_next(&list);
        Item item;
        const std::string_view path = nextPath(entry);
        nextPath(entry);  // the application
        item.parent = nextPath(entry);
        item.index = nextNumber<dbus_int32_t>(entry);
        item.childCount = nextNumber<dbus_int32_t>(entry);
        DBusMessageIter interfaces;
        dbus_message_iter_recurse(&entry, &interfaces);
        dbus_message_iter_next(&entry);
        while (dbus_message_iter_get_arg_type(&interfaces) == DBUS_TYPE_STRING)
            item.interfaces |= interfaceBit(nextString(interfaces));
        item.name = nextString(entry);
        item.role = static_cast<AtspiRole>(nextNumber<dbus_uint32_t>(entry));
        item.description = nextString(entry);
        DBusMessageIter states;
        dbus_message_iter_recurse(&entry, &states);
        for (unsigned word = 0; word < 2 && dbus_message_iter_get_arg_type(&states) == DBUS_TYPE_UINT32; ++word)
            item.states |= static_cast<std::uint64_t>(nextNumber<dbus_uint32_t>(states)) << (32 * word);
        snapshot.add(path, item);
    }
    snapshot.answer_ = std::shared_ptr<DBusMessage>(reply.release(), dbus_message_unref);
    snapshot.sortChildren();
    return snapshot;
}

}  // namespace vell::platform
