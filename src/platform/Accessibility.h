#pragma once
// The accessibility trees of other applications, reduced to the operations the
// form filler needs: an application element for a process, a messaging
// time-out, setting and reading attributes, and asking whether one is
// settable. Every call may block on the other process; call from a background
// thread. Implemented over AT-SPI in the product and by an in-memory tree in
// tests, so the whole walk runs without a desktop.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vell::platform {

// One element of another application's tree. Opaque: only the backend that
// made it understands it. Handles are shared and keep the element referenced.
class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;
};

using ElementRef = std::shared_ptr<AccessibleElement>;

class Accessibility {
public:
    enum class Attribute {
        focusedWindow,  // element: the application's focused window
        windows,        // list of elements
        role,           // string, one of Role below or anything else
        subrole,        // string, Subrole below when it applies
        value,          // string: the text of an input or a static text
        title,          // string
        description,    // string
        titleElement,   // element that labels this one
        help,           // string
        placeholder,    // string
        children,       // list of elements
        // The switches that ask an application to expose its full tree.
        manualAccessibility,    // boolean
        enhancedUserInterface,  // boolean
    };

    // Role and subrole strings the logic compares against.
    struct Role {
        static constexpr std::string_view staticText = "staticText";
        static constexpr std::string_view textField = "textField";
        static constexpr std::string_view textArea = "textArea";
        static constexpr std::string_view comboBox = "comboBox";
    };
    struct Subrole {
        static constexpr std::string_view secureTextField = "secureTextField";
    };

    // Result codes; 0 is success. The numbers match the ones the desktop
    // accessibility services commonly report, so diagnostic reports read the
    // same on every platform.
    enum Status : int {
        success = 0,
        failure = -25200,
        illegalArgument = -25201,
        invalidElement = -25202,
        cannotComplete = -25204,  // the target did not answer in time, or is gone
        attributeUnsupported = -25205,
        noValue = -25212,
    };

    struct Unrecognised {  // a value of a kind the logic never uses
        bool operator==(const Unrecognised&) const = default;
    };
    using Value = std::variant<std::monostate, std::string, bool, ElementRef, std::vector<ElementRef>, Unrecognised>;

    // An attribute read: used only when the status is success, a value is
    // present and it has the expected kind.
    struct Reading {
        int status = failure;
        Value value;

        std::optional<std::string> string() const {
            if (status != success) return std::nullopt;
            if (auto s = std::get_if<std::string>(&value)) return *s;
            return std::nullopt;
        }
        ElementRef element() const {
            if (status != success) return nullptr;
            if (auto e = std::get_if<ElementRef>(&value)) return *e;
            return nullptr;
        }
        std::optional<std::vector<ElementRef>> elements() const {
            if (status != success) return std::nullopt;
            if (auto list = std::get_if<std::vector<ElementRef>>(&value)) return *list;
            return std::nullopt;
        }
    };

    virtual ~Accessibility() = default;

    // A handle for the whole application with this process id; never fails
    // (reads through it fail when there is no such application).
    virtual ElementRef application(pid_t pid) = 0;
    // Requests made through the element give up after this many seconds.
    virtual void setMessagingTimeout(const ElementRef& element, double seconds) = 0;
    virtual int setAttribute(const ElementRef& element, Attribute attribute, const Value& value) = 0;
    virtual Reading read(const ElementRef& element, Attribute attribute) = 0;
    // False also when the question itself fails.
    virtual bool isSettable(const ElementRef& element, Attribute attribute) = 0;
};

}  // namespace vell::platform
