#include "platform/linux/AtspiTreeSnapshot.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace vell::platform {
namespace {

struct MessageUnref {
    void operator()(DBusMessage* m) const {
        if (m) dbus_message_unref(m);
    }
};
using MessageRef = std::unique_ptr<DBusMessage, MessageUnref>;

}  // namespace

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

bool AtspiTreeSnapshot::answers(DBusConnection* bus, const char* busName, int timeoutMs) {
    MessageRef ping(dbus_message_new_method_call(busName, "/org/a11y/atspi/accessible/root",
                                                 "org.freedesktop.DBus.Peer", "Ping"));
    if (!ping) return false;
    DBusError error;
    dbus_error_init(&error);
    MessageRef reply(dbus_connection_send_with_reply_and_block(bus, ping.get(), timeoutMs, &error));
    const bool answered = !dbus_error_is_set(&error) ||
                          (std::strcmp(error.name, DBUS_ERROR_NO_REPLY) != 0 &&
                           std::strcmp(error.name, DBUS_ERROR_TIMEOUT) != 0 &&
                           std::strcmp(error.name, DBUS_ERROR_SERVICE_UNKNOWN) != 0 &&
                           std::strcmp(error.name, DBUS_ERROR_DISCONNECTED) != 0);
    dbus_error_free(&error);
    return answered;
}

std::optional<AtspiTreeSnapshot> AtspiTreeSnapshot::read(DBusConnection* bus, const char* busName, int timeoutMs, bool& gone) {
    MessageRef call(dbus_message_new_method_call(busName, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems"));
    if (!call) return std::nullopt;
    DBusError error;
    dbus_error_init(&error);
    MessageRef reply(dbus_connection_send_with_reply_and_block(bus, call.get(), timeoutMs, &error));
    if (dbus_error_is_set(&error)) {
        gone = std::strcmp(error.name, DBUS_ERROR_SERVICE_UNKNOWN) == 0 ||
               std::strcmp(error.name, DBUS_ERROR_DISCONNECTED) == 0;
        dbus_error_free(&error);
        return std::nullopt;
    }
    if (!reply || std::strcmp(dbus_message_get_signature(reply.get()), "a((so)(so)(so)iiassusau)") != 0)
        return std::nullopt;

    AtspiTreeSnapshot snapshot;
    DBusMessageIter top, array;
    dbus_message_iter_init(reply.get(), &top);
    dbus_message_iter_recurse(&top, &array);
    auto reference = [](DBusMessageIter* at) {
        DBusMessageIter ref;
        dbus_message_iter_recurse(at, &ref);
        dbus_message_iter_next(&ref);
        const char* path = nullptr;
        dbus_message_iter_get_basic(&ref, &path);
        dbus_message_iter_next(at);
        return std::string(path ? path : "");
    };
    auto basic = [](DBusMessageIter* at, auto& out) {
        dbus_message_iter_get_basic(at, &out);
        dbus_message_iter_next(at);
    };
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT) {
        DBusMessageIter fields;
        dbus_message_iter_recurse(&array, &fields);
        Item item;
        const std::string path = reference(&fields);
        reference(&fields);  // the application
        item.parent = reference(&fields);
        dbus_int32_t index = 0, childCount = 0;
        basic(&fields, index);
        basic(&fields, childCount);
        item.index = index;
        item.childCount = childCount;
        DBusMessageIter list;
        dbus_message_iter_recurse(&fields, &list);
        while (dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRING) {
            const char* name = nullptr;
            basic(&list, name);
            item.interfaces.emplace_back(name);
        }
        dbus_message_iter_next(&fields);
        const char* text = nullptr;
        basic(&fields, text);
        item.name = text ? text : "";
        dbus_uint32_t role = 0;
        basic(&fields, role);
        item.role = static_cast<AtspiRole>(role);
        basic(&fields, text);
        item.description = text ? text : "";
        dbus_message_iter_recurse(&fields, &list);
        for (unsigned word = 0; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_UINT32 && word < 2; ++word) {
            dbus_uint32_t bits = 0;
            basic(&list, bits);
            item.states |= static_cast<std::uint64_t>(bits) << (32 * word);
        }
        if (!item.parent.empty() && item.index >= 0) snapshot.children_[item.parent].emplace_back(item.index, path);
        snapshot.items_.emplace(path, std::move(item));
        dbus_message_iter_next(&array);
    }
    for (auto& [parent, list] : snapshot.children_) std::sort(list.begin(), list.end());
    return snapshot;
}

}  // namespace vell::platform
