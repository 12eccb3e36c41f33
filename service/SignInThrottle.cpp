#include "service/SignInThrottle.h"

#include <algorithm>

namespace vell::service {

SignInThrottle::SignInThrottle(Clock clock, Limits limits) : clock_(std::move(clock)), limits_(limits) {}

double SignInThrottle::waitIn(Table& table, const std::string& key, std::size_t limit, double now) {
    auto it = table.find(key);
    if (it == table.end()) return 0;
    auto& times = it->second;
    while (!times.empty() && times.front() <= now - limits_.window) times.pop_front();
    if (times.empty()) {
        table.erase(it);
        return 0;
    }
    return times.size() < limit ? 0 : times.front() + limits_.window - now;
}

void SignInThrottle::note(Table& table, const std::string& key, std::size_t limit, double now) {
    if (table.size() >= limits_.tracked && !table.count(key)) {
        std::erase_if(table, [&](auto& entry) { return entry.second.back() <= now - limits_.window; });
        // Still full of live entries: forget an arbitrary one rather than grow.
        if (table.size() >= limits_.tracked) table.erase(table.begin());
    }
    auto& times = table[key];
    times.push_back(now);
    if (times.size() > limit) times.pop_front();
}

double SignInThrottle::attempt(const std::string& account, const std::string& address) {
    std::lock_guard lock(mutex_);
    double now = clock_();
    double wait = waitIn(addresses_, address, limits_.perAddress, now);
    if (!account.empty()) wait = std::max(wait, waitIn(accounts_, account, limits_.perAccount, now));
    if (wait > 0) return wait;
    note(addresses_, address, limits_.perAddress, now);
    if (!account.empty()) note(accounts_, account, limits_.perAccount, now);
    return 0;
}

void SignInThrottle::succeeded(const std::string& account) {
    std::lock_guard lock(mutex_);
    accounts_.erase(account);
}

}  // namespace vell::service
