#pragma once
// The notes each account writes in the web application. Every operation is
// scoped to its owner: another account's note is indistinguishable from none.
// Each save raises a note's version; a save that names the version it started
// from is refused once someone else has saved in between, so no edit is lost
// silently.

#include "service/Database.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vell::service {

class Notes {
public:
    struct Note {
        std::string id;
        std::string title;
        std::string body;
        double updated = 0;
        std::int64_t version = 1;
    };
    // What a save changes: only the parts it names.
    struct Change {
        std::optional<std::string> title, body;
        std::optional<std::int64_t> basedOn;  // the version the editor started from
    };
    struct Saved {
        enum Outcome { done, missing, stale } outcome;
        std::optional<Note> note;  // the saved note, or the newer one a stale save met
    };

    explicit Notes(Database& db);

    std::vector<Note> list(std::int64_t accountId);
    std::optional<Note> find(std::int64_t accountId, const std::string& id);
    Note create(std::int64_t accountId, const std::string& title, const std::string& body, double now);
    Saved update(std::int64_t accountId, const std::string& id, const Change& change, double now);
    bool remove(std::int64_t accountId, const std::string& id);

private:
    Database& db_;
};

}  // namespace vell::service
