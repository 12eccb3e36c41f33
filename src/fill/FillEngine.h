#pragma once
// Reads and writes the form fields of another application's front window
// through the accessibility interface. Every call blocks on another process:
// call it from a background thread, never the main loop.

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vell::platform {
class Accessibility;      // the accessibility tree of other applications (platform/Accessibility.h)
class AccessibleElement;  // one element of it
}  // namespace vell::platform

namespace vell::fill {

class FillEngine {
public:
    // One fillable, non-sensitive text input of the target window.
    struct Field {
        std::shared_ptr<platform::AccessibleElement> element;
        std::string id;  // "f0", "f1", … in walk order
        std::optional<std::string> label;
        std::optional<std::string> placeholder;  // as read, may be empty
        std::string type;                        // "text" or "textarea"
        std::optional<std::string> near;         // only when label is absent
        std::optional<std::string> original;     // value before the fill; never sent
    };

    enum class Applied { applied, check, failed };

    struct Outcome {
        std::string label;  // display name: label, else placeholder, else near, else id
        std::string value;  // the value written
        Applied result;
        bool operator==(const Outcome&) const = default;
    };

    explicit FillEngine(platform::Accessibility& accessibility);
    virtual ~FillEngine() = default;

    virtual std::vector<Field> enumerate(pid_t pid, int maxFields);
    virtual std::map<std::string, int> diagnose(pid_t pid);
    virtual std::vector<Outcome> apply(const std::map<std::string, std::string>& values,
                                       const std::vector<Field>& fields);
    virtual void undo(const std::vector<Field>& fields, const std::vector<Outcome>& outcomes);

    static std::string displayName(const Field& field);

    // The first non-empty of the element's title, description, labelling
    // element's value and help; nothing when none has text.
    std::optional<std::string> bestLabel(const std::shared_ptr<platform::AccessibleElement>& element);
    // The first of the application's windows, if any.
    std::shared_ptr<platform::AccessibleElement> firstWindow(const std::shared_ptr<platform::AccessibleElement>& app);

protected:
    FillEngine() = default;  // for test doubles that replace every operation

private:
    platform::Accessibility* accessibility_ = nullptr;
};

}  // namespace vell::fill
