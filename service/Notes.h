#pragma once
// The notes each account writes in the web application. Every operation is
// scoped to its owner: another account's note is indistinguishable from none.

#include "Database.h"

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
    };

    explicit Notes(Database& db);

    std::vector<Note> list(std::int64_t accountId);
    std::optional<Note> find(std::int64_t accountId, const std::string& id);
    Note create(std::int64_t accountId, const std::string& title, const std::string& body, double now);
    std::optional<Note> update(std::int64_t accountId, const std::string& id, const std::string& title,
                               const std::string& body, double now);
    bool remove(std::int64_t accountId, const std::string& id);

private:
    Database& db_;
};

}  // namespace vell::service
