#pragma once
// A session bridge for the session store's tests: records what the store
// hands over and answers token questions with a scripted value.

#include <optional>
#include <string>
#include <vector>

#include "session/SessionBridge.h"

namespace vell::test {

class FakeSessionBridge final : public session::SessionBridge {
public:
    struct Adopted {
        std::string accessToken;
        std::string refreshToken;
        std::optional<double> expiresAt;
    };

    void adopt(std::string accessToken, std::string refreshToken, std::optional<double> expiresAt) override {
        adopted.push_back({std::move(accessToken), std::move(refreshToken), expiresAt});
    }
    Task<std::optional<std::string>> bridgeToken(int attempts) override {
        tokenQuestions.push_back(attempts);
        if (beforeAnswer) beforeAnswer();
        co_return token;
    }
    void clear() override { ++clears; }

    std::optional<std::string> token;    // the answer to every token question
    std::function<void()> beforeAnswer;  // runs while a question is open
    std::vector<Adopted> adopted;
    std::vector<int> tokenQuestions;  // the attempts each question allowed
    int clears = 0;
};

}  // namespace vell::test
