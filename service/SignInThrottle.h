#pragma once
// Slows down password guessing: attempts are counted per account and per
// client address over a sliding window, and past a limit further attempts are
// turned away until the oldest one leaves the window. An attempt is counted
// before its password is checked, so a burst of parallel guesses cannot slip
// past the limit; a successful sign-in clears its account's count. Sign-ups
// count against their address (each one hashes a password). The tables are
// bounded, so a flood of made-up addresses cannot grow them.

#include "service/Accounts.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vell::service {

class SignInThrottle {
public:
    struct Limits {
        std::size_t perAccount = 5;
        std::size_t perAddress = 30;
        double window = 15 * 60;       // seconds
        std::size_t tracked = 10'000;  // keys kept per table
    };

    SignInThrottle(Clock clock, Limits limits);

    // 0 when the attempt may go ahead (and is counted); otherwise the
    // seconds until one would be heard. An empty account counts the address only.
    double attempt(const std::string& account, const std::string& address);
    void succeeded(const std::string& account);

private:
    using Table = std::unordered_map<std::string, std::deque<double>>;
    double waitIn(Table& table, const std::string& key, std::size_t limit, double now);
    void note(Table& table, const std::string& key, std::size_t limit, double now);

    Clock clock_;
    Limits limits_;
    std::mutex mutex_;
    Table accounts_, addresses_;
};

}  // namespace vell::service
