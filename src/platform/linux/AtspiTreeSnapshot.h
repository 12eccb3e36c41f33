#pragma once
// One application's own description of every element it has registered with
// the accessibility bus (role, name, description, states, interfaces, parent
// and position), read in a single request from its cache object. A walk takes
// one at its start, so it needs a round trip only for what it reads of inputs
// and captions. Fresh for every walk, and used only while the walk runs. Its
// texts are views into the answer as it came, which it keeps: reading 4,000
// elements copies no string.

#include <atspi/atspi-constants.h>
#include <dbus/dbus.h>
#include <glib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vell::platform {

class AtspiTreeSnapshot {
public:
    struct Item {
        std::string_view parent;
        int index = -1;
        int childCount = 0;
        unsigned interfaces = 0;  // bits of knownInterfaces
        std::string_view name;
        AtspiRole role = ATSPI_ROLE_INVALID;
        std::string_view description;
        std::uint64_t states = 0;

        bool has(AtspiStateType state) const { return (states >> static_cast<unsigned>(state)) & 1u; }
        // False for an interface outside knownInterfaces.
        bool implements(const char* interface) const;
    };

    // The interfaces the walk asks about; an item keeps only which of these it has.
    static constexpr const char* knownInterfaces[] = {"org.a11y.atspi.Text", "org.a11y.atspi.EditableText",
                                                      "org.a11y.atspi.Component"};

    static constexpr const char* replyType = "(a((so)(so)(so)iiassusau))";

    // Reads the answer to the cache's GetItems; nothing when it has another shape.
    static std::optional<AtspiTreeSnapshot> fromReply(GVariant* reply);
    // Asks the application on a direct libdbus connection and reads the
    // answer as it arrives on the wire: GDBus would first rebuild the whole
    // answer, value by value, as a GVariant. Nothing when it does not answer
    // within the time-out or answers in another shape.
    static std::optional<AtspiTreeSnapshot> request(DBusConnection* connection, int timeoutMs);

    const Item* find(std::string_view path) const;
    // The element's children in order, only when the snapshot holds all of them.
    std::optional<std::vector<std::string>> childrenOf(const std::string& path) const;
    // The children it holds, in order, whether or not some are missing (views
    // into the snapshot).
    std::vector<std::string_view> knownChildrenOf(std::string_view path) const;

private:
    static unsigned interfaceBit(const char* interface);
    void add(std::string_view path, const Item& item);
    void sortChildren();  // once every item is in

    std::shared_ptr<const void> answer_;  // what the views point into
    std::unordered_map<std::string_view, Item> items_;
    std::unordered_map<std::string_view, std::vector<std::pair<int, std::string_view>>> children_;
};

}  // namespace vell::platform
