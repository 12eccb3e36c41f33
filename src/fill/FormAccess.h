#pragma once
// What the fill flows need of another application's front window: its
// fillable fields, writing values into them, and putting the old values back.
// Every call may block on another process: call it off the main loop.

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vell::platform {
class AccessibleElement;  // one element of another application's accessibility tree
}  // namespace vell::platform

namespace vell::fill {

class FormAccess {
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

    virtual ~FormAccess() = default;

    // At most maxFields fields of the front window of process `pid`, in walk order.
    virtual std::vector<Field> enumerate(pid_t pid, int maxFields) = 0;
    // Writes each value (keyed by field id) into its field and reads it back.
    virtual std::vector<Outcome> apply(const std::map<std::string, std::string>& values,
                                       const std::vector<Field>& fields) = 0;
    // Puts back the original value of every field an earlier apply wrote.
    virtual void undo(const std::vector<Field>& fields, const std::vector<Outcome>& outcomes) = 0;
};

}  // namespace vell::fill
