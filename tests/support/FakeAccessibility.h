#pragma once
// An in-memory accessibility tree for tests of the field walk, writing and
// undo. Build nodes with the helpers, hang them under an application with
// addApplication(pid, …), and inspect what was read and written afterwards.
//
//   auto form = FakeAccessibility::group({FakeAccessibility::staticText("Name"),
//                                         FakeAccessibility::textField()});
//   ax.addApplication(42, FakeAccessibility::window({form}));

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Accessibility.h"

namespace vell::test {

class FakeAccessibility final : public platform::Accessibility {
public:
    struct Node final : platform::AccessibleElement {
        std::string name;  // for the test's own reference only
        std::map<Attribute, Reading> attributes;
        bool valueSettable = false;
        int writeStatus = success;  // what a write of the value returns
        // What the element keeps when a value is written (reformatting inputs).
        std::function<std::string(const std::string&)> keep = [](const std::string& v) { return v; };
        bool unreadableAfterWrite = false;  // a written value cannot be read back
        bool hangs = false;                 // every call on it times out

        Node& set(Attribute attribute, Value value) {
            attributes[attribute] = Reading{success, std::move(value)};
            return *this;
        }
        Node& fail(Attribute attribute, int status) {
            attributes[attribute] = Reading{status, {}};
            return *this;
        }
        Node& children(const std::vector<std::shared_ptr<Node>>& list) {
            return set(Attribute::children, std::vector<platform::ElementRef>(list.begin(), list.end()));
        }
        std::optional<std::string> value() const {
            auto it = attributes.find(Attribute::value);
            return it == attributes.end() ? std::nullopt : it->second.string();
        }
    };
    using NodeRef = std::shared_ptr<Node>;

    struct Call {
        const Node* node;
        Attribute attribute;
    };
    struct Write {
        const Node* node;
        Attribute attribute;
        Value value;
    };

    // ---- building trees -------------------------------------------------------------

    static NodeRef node(std::string_view role, std::string name = {}) {
        auto n = std::make_shared<Node>();
        n->name = name.empty() ? std::string(role) : std::move(name);
        n->set(Attribute::role, std::string(role));
        return n;
    }
    static NodeRef group(const std::vector<NodeRef>& children, std::string name = "group") {
        auto n = node("group", std::move(name));
        n->children(children);
        return n;
    }
    static NodeRef window(const std::vector<NodeRef>& children, std::string name = "window") {
        auto n = node("window", std::move(name));
        n->children(children);
        return n;
    }
    static NodeRef staticText(const std::string& text) {
        auto n = node(Role::staticText, "text:" + text);
        n->set(Attribute::value, text);
        return n;
    }
    // A settable input holding `value`; role textField, textArea or comboBox.
    static NodeRef input(std::string name, std::string_view role = Role::textField, std::string value = "") {
        auto n = node(role, std::move(name));
        n->set(Attribute::value, std::move(value));
        n->valueSettable = true;
        return n;
    }
    static NodeRef labelled(std::string label, std::string_view role = Role::textField) {
        auto n = input(label, role);
        n->set(Attribute::title, label);
        return n;
    }

    // The application with this pid: its focused window is the first one.
    NodeRef addApplication(pid_t pid, const std::vector<NodeRef>& windows) {
        auto app = node("application", "app" + std::to_string(pid));
        std::vector<platform::ElementRef> list(windows.begin(), windows.end());
        app->set(Attribute::windows, list);
        if (!windows.empty()) app->set(Attribute::focusedWindow, platform::ElementRef(windows.front()));
        std::lock_guard lock(mutex_);
        apps_[pid] = app;
        return app;
    }
    NodeRef addApplication(pid_t pid, NodeRef window) {
        return addApplication(pid, std::vector<NodeRef>{std::move(window)});
    }

    // ---- what happened --------------------------------------------------------------

    std::vector<Call> reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    std::vector<Write> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    // Whether any attribute of the node was read or asked about.
    bool touched(const NodeRef& n) const {
        std::lock_guard lock(mutex_);
        return std::any_of(reads_.begin(), reads_.end(), [&](const Call& c) { return c.node == n.get(); });
    }
    std::map<pid_t, double> timeouts() const {
        std::lock_guard lock(mutex_);
        return timeouts_;
    }
    void clearLog() {
        std::lock_guard lock(mutex_);
        reads_.clear();
        writes_.clear();
    }

    // ---- Accessibility --------------------------------------------------------------

    platform::ElementRef application(pid_t pid) override {
        std::lock_guard lock(mutex_);
        auto it = apps_.find(pid);
        if (it != apps_.end()) return it->second;
        auto none = node("application", "missing");  // reads of it all fail
        none->attributes.clear();
        return none;
    }
    void setMessagingTimeout(const platform::ElementRef& element, double seconds) override {
        std::lock_guard lock(mutex_);
        for (const auto& [pid, app] : apps_)
            if (app == element) timeouts_[pid] = seconds;
    }
    int setAttribute(const platform::ElementRef& element, Attribute attribute, const Value& value) override {
        auto& n = asNode(element);
        std::lock_guard lock(mutex_);
        writes_.push_back({&n, attribute, value});
        if (n.hangs) return cannotComplete;
        if (attribute != Attribute::value) return success;
        if (n.writeStatus != success) return n.writeStatus;
        if (n.unreadableAfterWrite)
            n.attributes[attribute] = Reading{success, Unrecognised{}};
        else if (auto text = std::get_if<std::string>(&value))
            n.attributes[attribute] = Reading{success, n.keep(*text)};
        return success;
    }
    Reading read(const platform::ElementRef& element, Attribute attribute) override {
        auto& n = asNode(element);
        std::lock_guard lock(mutex_);
        reads_.push_back({&n, attribute});
        if (n.hangs) return {cannotComplete, {}};
        auto it = n.attributes.find(attribute);
        if (it == n.attributes.end()) return {attributeUnsupported, {}};
        return it->second;
    }
    bool isSettable(const platform::ElementRef& element, Attribute attribute) override {
        auto& n = asNode(element);
        std::lock_guard lock(mutex_);
        reads_.push_back({&n, attribute});
        return !n.hangs && attribute == Attribute::value && n.valueSettable;
    }

private:
    static Node& asNode(const platform::ElementRef& element) { return static_cast<Node&>(*element); }

    mutable std::mutex mutex_;
    std::map<pid_t, NodeRef> apps_;
    std::map<pid_t, double> timeouts_;
    std::vector<Call> reads_;
    std::vector<Write> writes_;
};

}  // namespace vell::test
