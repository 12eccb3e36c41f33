#pragma once
// Accessibility over AT-SPI2, speaking its D-Bus protocol on a private
// connection to the accessibility bus.
//
// - Application by process id: the registry's application whose bus
//   connection belongs to that process (the one found last time is checked
//   first, with one question to the bus daemon).
// - Focused window: the application's child in the ACTIVE state, else none
//   (the caller then takes the first window).
// - Roles: LABEL and STATIC are static text; TEXT and ENTRY are inputs, a text
//   area when MULTI_LINE; PASSWORD_TEXT is a secure input; COMBO_BOX is a combo
//   box whose value lives in its editable TEXT child, if it has one.
// - Labels: the name as title (not for combo boxes, whose name is their
//   selected text), the LABELLED_BY relation as label element, and the
//   description (the tooltip) as help; no separate description. Placeholder
//   from the "placeholder-text" or "placeholder" attribute; values through the
//   Text interface; writes through EditableText. Settable means EditableText,
//   EDITABLE, SENSITIVE and ENABLED, and not READ_ONLY.
// - Siblings that mix static texts and inputs are listed in reading order
//   (from their on-screen extents), so a caption is met before its input even
//   where a container lists its children in reverse (GtkGrid).
// - A walk starts by reading the application's own description of its tree
//   in one request (roles, names, states, children). Elements that
//   description lacks are asked live, and nothing is cached beyond the walk.
// - Where the application offers a direct connection, every request to it
//   goes there, on one libdbus connection answered on the calling thread:
//   the large description is read straight off the wire (GDBus would rebuild
//   it value by value first), and what a walk will read of inputs and
//   captions (foreseen from the description) is sent ahead in batches, so
//   the application answers while the walk goes on. Without one, requests go
//   through the bus one at a time.
// - Every request gives up after 2 s, so a slow application (answers half a
//   second late) still gets its whole fill; once a target has failed to
//   answer, every later request to it fails at once for a few seconds: a hung
//   or vanished application ends a fill within about 2 s.
// - "Making the target accessible" means making sure the accessibility bus is
//   enabled, which is what makes toolkits expose their trees; once seen on,
//   it is taken as on for a second (both attributes mean that one switch).
//
// Why not libatspi: it keeps one process-wide connection that GTK's own
// accessibility bridge shares and dispatches on the main loop, and it is not
// thread-safe. Driving it from a background thread of a GTK program either
// takes that connection away from the bridge (the program's own windows stop
// answering) or races the main loop (requests time out at random). A private
// GDBus connection is safe from any thread and leaves the bridge alone.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/Accessibility.h"

namespace vell::platform {

class AtspiAccessibility final : public Accessibility {
public:
    // `callTimeoutSeconds` bounds every request to another application;
    // `snapshots` false asks every element live (for comparisons).
    explicit AtspiAccessibility(double callTimeoutSeconds = 2.0, bool snapshots = true);

    ElementRef application(pid_t pid) override;
    void setMessagingTimeout(const ElementRef& element, double seconds) override;
    int setAttribute(const ElementRef& element, Attribute attribute, const Value& value) override;
    Reading read(const ElementRef& element, Attribute attribute) override;
    bool isSettable(const ElementRef& element, Attribute attribute) override;

    // Number of requests sent to other applications (for measurements).
    long calls() const { return calls_; }

private:
    class Element;
    struct Target;
    class Calls;

    std::shared_ptr<Element> element(const ElementRef& ref) const;

    double callTimeoutSeconds_;
    bool snapshots_;
    mutable std::atomic<long> calls_{0};
    std::atomic<std::chrono::steady_clock::rep> switchSeenOn_{0};  // since the clock's epoch; 0: never
    std::mutex lastFoundMutex_;
    std::pair<pid_t, std::string> lastFound_{-1, {}};  // process id and its application's bus name
};

}  // namespace vell::platform
