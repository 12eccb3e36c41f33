#pragma once
// Base of every typed error the program shows to a person: what() is the
// finished sentence the problem line displays, unchanged.

#include <stdexcept>
#include <string>

namespace vell {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string description() const { return what(); }
};

}  // namespace vell
