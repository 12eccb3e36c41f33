#pragma once
// Settings held in memory, counting the writes (each stands for one on disk).

#include <map>
#include <string>

#include "platform/Settings.h"

namespace vell::test {

class FakeSettings : public platform::Settings {
public:
    std::map<std::string, bool> booleans;
    int writes = 0;

    bool boolean(const std::string& key, bool fallback) const override {
        auto it = booleans.find(key);
        return it == booleans.end() ? fallback : it->second;
    }
    void setBoolean(const std::string& key, bool value) override {
        booleans[key] = value;
        ++writes;
    }
};

}  // namespace vell::test
