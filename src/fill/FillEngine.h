#pragma once
// Reads and writes the form fields of another application's front window
// through the accessibility interface. Every call blocks on another process:
// call it from a background thread, never the main loop.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "fill/FormAccess.h"

namespace vell::platform {
class Accessibility;  // the accessibility tree of other applications (platform/Accessibility.h)
}  // namespace vell::platform

namespace vell::fill {

class FillEngine : public FormAccess {
public:
    explicit FillEngine(platform::Accessibility& accessibility);

    std::vector<Field> enumerate(pid_t pid, int maxFields) override;
    std::vector<Outcome> apply(const std::map<std::string, std::string>& values,
                               const std::vector<Field>& fields) override;
    void undo(const std::vector<Field>& fields, const std::vector<Outcome>& outcomes) override;

    // How the process's windows answer, for diagnostic reports: the status of
    // reading its focused window ("focusedWindowErr") and window list
    // ("windowsErr"), and how many windows it lists ("windowCount", -1 when unread).
    std::map<std::string, int> diagnose(pid_t pid);

    // The name a field is shown by: label, else placeholder, else nearby text, else id.
    static std::string displayName(const Field& field);

private:
    platform::Accessibility& accessibility_;
};

}  // namespace vell::fill
