#pragma once
// A small owner of one SQLite connection. Each statement runs whole under the
// connection's lock, so the stores write single statements (RETURNING, UPDATE …
// WHERE) where they need an atomic step. Failures throw.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace vell::service {

class Database {
public:
    struct Failure : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
    using Row = std::vector<Value>;

    // Opens (creating when needed) the database file; ":memory:" for a private one.
    explicit Database(const std::string& path);

    void execute(const std::string& sql);
    // Runs one statement with bound parameters and returns every row.
    std::vector<Row> query(const std::string& sql, const std::vector<Value>& parameters = {});

    static std::string text(const Value& value);
    static std::int64_t integer(const Value& value);
    static double real(const Value& value);

private:
    std::mutex mutex_;
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db_{nullptr, &sqlite3_close};
};

}  // namespace vell::service
