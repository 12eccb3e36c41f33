#include "platform/linux/AtspiTreeSnapshot.h"

#include <algorithm>
#include <cstring>
#include <iterator>

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

const AtspiTreeSnapshot::Item* AtspiTreeSnapshot::find(const std::string& path) const {
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
    for (std::size_t i = 0; i < it->second.size(); ++i) {
        if (it->second[i].first != static_cast<int>(i)) return std::nullopt;  // a gap: ask live
        paths.push_back(it->second[i].second);
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
    Child list(reply, 0);
    const gsize count = g_variant_n_children(list);
    snapshot.items_.reserve(count);
    for (gsize n = 0; n < count; ++n) {
        Child entry(list, n);
        Item item;
        std::string path = objectPath(entry, 0);
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
        if (item.index >= 0) snapshot.children_[item.parent].emplace_back(item.index, path);
        snapshot.items_.emplace(std::move(path), std::move(item));
    }
    for (auto& [parent, children] : snapshot.children_) std::sort(children.begin(), children.end());
    return snapshot;
}

}  // namespace vell::platform
