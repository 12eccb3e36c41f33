#include "platform/linux/AtspiTreeSnapshot.h"

#include <algorithm>

namespace vell::platform {

bool AtspiTreeSnapshot::Item::implements(const char* interface) const {
    return std::find(interfaces.begin(), interfaces.end(), interface) != interfaces.end();
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

std::optional<AtspiTreeSnapshot> AtspiTreeSnapshot::fromReply(GVariant* reply) {
    if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE(replyType))) return std::nullopt;
    AtspiTreeSnapshot snapshot;
    GVariant* list = g_variant_get_child_value(reply, 0);
    GVariantIter items;
    g_variant_iter_init(&items, list);
    while (GVariant* entry = g_variant_iter_next_value(&items)) {
        const gchar* path = nullptr;
        const gchar* parent = nullptr;
        const gchar* name = nullptr;
        const gchar* description = nullptr;
        gint32 index = 0, childCount = 0;
        guint32 role = 0;
        GVariantIter* interfaces = nullptr;
        GVariantIter* states = nullptr;
        g_variant_get(entry, "((&s&o)(&s&o)(&s&o)iias&su&sau)", nullptr, &path, nullptr, nullptr, nullptr, &parent,
                      &index, &childCount, &interfaces, &name, &role, &description, &states);
        Item item;
        item.parent = parent;
        item.index = index;
        item.childCount = childCount;
        item.name = name;
        item.role = static_cast<AtspiRole>(role);
        item.description = description;
        const gchar* interface = nullptr;
        while (g_variant_iter_next(interfaces, "&s", &interface)) item.interfaces.emplace_back(interface);
        guint32 bits = 0;
        for (unsigned word = 0; word < 2 && g_variant_iter_next(states, "u", &bits); ++word)
            item.states |= static_cast<std::uint64_t>(bits) << (32 * word);
        g_variant_iter_free(interfaces);
        g_variant_iter_free(states);
        if (item.index >= 0) snapshot.children_[item.parent].emplace_back(item.index, path);
        snapshot.items_.emplace(path, std::move(item));
        g_variant_unref(entry);
    }
    g_variant_unref(list);
    for (auto& [parent, children] : snapshot.children_) std::sort(children.begin(), children.end());
    return snapshot;
}

}  // namespace vell::platform
