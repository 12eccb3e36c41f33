#pragma once
// A scripted microphone for tests of everything that records.
//
//   FakeAudioInput input;                  // files go to a fresh scratch directory
//   input.failNextRecord("no source");     // the next record() throws Failure
//   input.status = Authorisation::denied;  // what authorisation() reports
//   recorder.start();
//   input.latest().duration = 0.25;        // or: input.clock = &loop (duration follows it)
//   input.latest().power = -9;
//   input.holdAccessPrompt = true;         // requestAccess() waits for answerPrompt(true/false)
//
// Every take writes a small real file (some bytes at record(), more at finish())
// so code that moves, uploads or deletes recordings works on real files.

#include <coroutine>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ScratchFolder.h"
#include "platform/AudioInput.h"
#include "platform/MainLoop.h"

namespace vell::test {

class FakeAudioInput final : public platform::AudioInput {
public:
    // What happened to one take; the test may change duration and power at any time.
    struct Take {
        std::filesystem::path file;
        double duration = 0;    // seconds captured, unless `clock` is set
        float power = -160;     // dBFS of the latest 100 ms
        double startedAt = 0;   // clock time at record(), when a clock is set
        bool finished = false;  // finish() was called
        bool released = false;  // the capture object was destroyed
    };

    // Authorisation reported; requestAccess() changes it from notDetermined to the answer.
    Authorisation status = Authorisation::authorised;
    bool accessAnswer = true;
    int accessRequests = 0;  // prompts shown
    std::optional<std::string> deviceName = std::string("Fake Microphone");
    // When set, a take's duration is the time passed on this clock since record().
    const platform::MainLoop* clock = nullptr;

    // The next record() throws AudioInput::Failure with this text; later ones succeed again.
    void failNextRecord(std::string message = "The sound server cannot be reached.") {
        failures_.push_back(std::move(message));
    }

    const std::vector<std::shared_ptr<Take>>& takes() const { return takes_; }
    Take& latest() { return *takes_.back(); }
    const std::filesystem::path& directory() const { return directory_.path(); }

    std::unique_ptr<Capture> record(const std::filesystem::path& file) override {
        if (!failures_.empty()) {
            auto message = failures_.front();
            failures_.erase(failures_.begin());
            throw Failure(message);
        }
        auto take = std::make_shared<Take>();
        take->file = file;
        if (clock) take->startedAt = clock->now();
        std::ofstream(file, std::ios::binary) << "fake-m4a:";
        takes_.push_back(take);
        return std::make_unique<FakeCapture>(take, clock);
    }

    Authorisation authorisation() override { return status; }

    Task<bool> requestAccess() override {
        if (status == Authorisation::notDetermined) {
            ++accessRequests;
            co_await PromptAwaiter{*this};
            status = accessAnswer ? Authorisation::authorised : Authorisation::denied;
        }
        co_return status == Authorisation::authorised;
    }

    // With holdAccessPrompt set, a prompt stays open until the test answers it.
    bool holdAccessPrompt = false;
    bool promptShowing() const { return static_cast<bool>(prompt_); }
    void answerPrompt(bool granted) {
        accessAnswer = granted;
        if (auto prompt = std::exchange(prompt_, {})) prompt.resume();
    }

    std::optional<std::string> defaultDeviceName() override { return deviceName; }
    std::filesystem::path temporaryDirectory() override { return directory_.path(); }

private:
    struct PromptAwaiter {
        FakeAudioInput& input;
        bool await_ready() const noexcept { return !input.holdAccessPrompt; }
        void await_suspend(std::coroutine_handle<> waiting) noexcept { input.prompt_ = waiting; }
        void await_resume() const noexcept {}
    };

    class FakeCapture final : public Capture {
    public:
        FakeCapture(std::shared_ptr<Take> take, const platform::MainLoop* clock)
            : take_(std::move(take)), clock_(clock) {}
        ~FakeCapture() override { take_->released = true; }
        double duration() const override {
            if (clock_ && !take_->finished) return clock_->now() - take_->startedAt;
            return take_->duration;
        }
        float averagePower() const override { return take_->power; }
        void finish() override {
            if (take_->finished) return;
            if (clock_) take_->duration = clock_->now() - take_->startedAt;
            take_->finished = true;
            std::ofstream(take_->file, std::ios::binary | std::ios::app) << "finished";
        }

    private:
        std::shared_ptr<Take> take_;
        const platform::MainLoop* clock_;
    };

    ScratchFolder directory_{"vell-fake-audio"};
    std::vector<std::string> failures_;
    std::vector<std::shared_ptr<Take>> takes_;
    std::coroutine_handle<> prompt_;
};

}  // namespace vell::test
