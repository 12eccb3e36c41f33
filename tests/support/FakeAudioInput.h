#pragma once
// A scripted microphone for tests of everything that records.
//
//   FakeAudioInput input;                  // files go to a fresh scratch directory
//   input.failNextRecord("no source");     // the next record() throws Failure
//   input.status = Authorisation::denied;  // what authorisation() reports
//   recorder.start();
//   input.latest().duration = 0.25;
//   input.latest().power = -9;
//
// Every take writes a small real file (some bytes at record(), more at finish())
// so code that moves, uploads or deletes recordings works on real files.

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ScratchFolder.h"
#include "platform/AudioInput.h"

namespace vell::test {

class FakeAudioInput final : public platform::AudioInput {
public:
    // What happened to one take; the test may change duration and power at any time.
    struct Take {
        std::filesystem::path file;
        double duration = 0;    // seconds captured
        float power = -160;     // dBFS of the latest 100 ms
        bool finished = false;  // finish() was called
    };

    // Authorisation reported; requestAccess() changes it from notDetermined to the answer.
    Authorisation status = Authorisation::authorised;
    bool accessAnswer = true;
    int accessRequests = 0;  // prompts shown
    std::optional<std::string> deviceName = std::string("Fake Microphone");

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
        std::ofstream(file, std::ios::binary) << "fake-m4a:";
        takes_.push_back(take);
        return std::make_unique<FakeCapture>(take);
    }

    Authorisation authorisation() override { return status; }

    Task<bool> requestAccess() override {
        if (status == Authorisation::notDetermined) {
            ++accessRequests;
            status = accessAnswer ? Authorisation::authorised : Authorisation::denied;
        }
        co_return status == Authorisation::authorised;
    }

    std::optional<std::string> defaultDeviceName() override { return deviceName; }
    std::filesystem::path temporaryDirectory() override { return directory_.path(); }

private:
    class FakeCapture final : public Capture {
    public:
        explicit FakeCapture(std::shared_ptr<Take> take) : take_(std::move(take)) {}
        double duration() const override { return take_->duration; }
        float averagePower() const override { return take_->power; }
        void finish() override {
            if (take_->finished) return;
            take_->finished = true;
            std::ofstream(take_->file, std::ios::binary | std::ios::app) << "finished";
        }

    private:
        std::shared_ptr<Take> take_;
    };

    ScratchFolder directory_{"vell-fake-audio"};
    std::vector<std::string> failures_;
    std::vector<std::shared_ptr<Take>> takes_;
};

}  // namespace vell::test
