#include "service/Database.h"

namespace vell::service {

Database::Database(const std::string& path) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK)
        throw Failure("cannot open database " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory"));
    sqlite3_busy_timeout(raw, 5000);
    // A database the service cannot write or read whole would answer every
    // sign-in with an error; better to stop at once and say why.
    if (sqlite3_db_readonly(raw, "main") == 1)
        throw Failure("the database " + path + " is read-only; give this user write access to it and its folder");
    try {
        auto check = query("PRAGMA quick_check");
        if (check.empty() || text(check[0][0]) != "ok") throw Failure(check.empty() ? "" : text(check[0][0]));
        execute("PRAGMA foreign_keys = ON");
        execute("PRAGMA journal_mode = WAL");
    } catch (const Failure& failure) {
        throw Failure("the database " + path + " cannot be used (" + failure.what() +
                      "); move it aside to start afresh, or restore it from a backup");
    }
}

void Database::execute(const std::string& sql) {
    std::lock_guard lock(mutex_);
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw Failure("database: " + message);
    }
}

std::vector<Database::Row> Database::query(const std::string& sql, const std::vector<Value>& parameters) {
    std::lock_guard lock(mutex_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
        throw Failure(std::string("database: ") + sqlite3_errmsg(db_.get()));
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);

    for (int i = 0; i < static_cast<int>(parameters.size()); ++i) {
        const Value& p = parameters[i];
        int rc = SQLITE_OK;
        if (std::holds_alternative<std::nullptr_t>(p))
            rc = sqlite3_bind_null(raw, i + 1);
        else if (auto* n = std::get_if<std::int64_t>(&p))
            rc = sqlite3_bind_int64(raw, i + 1, *n);
        else if (auto* d = std::get_if<double>(&p))
            rc = sqlite3_bind_double(raw, i + 1, *d);
        else {
            const auto& s = std::get<std::string>(p);
            rc = sqlite3_bind_text(raw, i + 1, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK) throw Failure(std::string("database: ") + sqlite3_errmsg(db_.get()));
    }

    std::vector<Row> rows;
    for (;;) {
        int rc = sqlite3_step(raw);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) throw Failure(std::string("database: ") + sqlite3_errmsg(db_.get()));
        Row row;
        int columns = sqlite3_column_count(raw);
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(raw, c)) {
                case SQLITE_INTEGER:
                    row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(raw, c)));
                    break;
                case SQLITE_FLOAT:
                    row.emplace_back(sqlite3_column_double(raw, c));
                    break;
                case SQLITE_NULL:
                    row.emplace_back(nullptr);
                    break;
                default: {
                    auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(raw, c));
                    row.emplace_back(
                        std::string(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(raw, c))));
                }
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Database::text(const Value& value) {
    if (auto* s = std::get_if<std::string>(&value)) return *s;
    if (auto* n = std::get_if<std::int64_t>(&value)) return std::to_string(*n);
    return {};
}

std::int64_t Database::integer(const Value& value) {
    if (auto* n = std::get_if<std::int64_t>(&value)) return *n;
    if (auto* d = std::get_if<double>(&value)) return static_cast<std::int64_t>(*d);
    return 0;
}

double Database::real(const Value& value) {
    if (auto* d = std::get_if<double>(&value)) return *d;
    if (auto* n = std::get_if<std::int64_t>(&value)) return static_cast<double>(*n);
    return 0;
}

}  // namespace vell::service
