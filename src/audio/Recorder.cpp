#include "audio/Recorder.h"

#include <string_view>
#include <system_error>
#include <utility>

#include "platform/Uuid.h"

namespace vell::audio {
namespace {

constexpr std::string_view filePrefix = "vell-dictation-";
constexpr std::string_view fileSuffix = ".m4a";

}  // namespace

Recorder::Recorder(platform::AudioInput& input) : input_(&input) { discardAllTakes(); }

void Recorder::discardAllTakes() {
    // A run that was killed mid-take left its recording behind; nobody will
    // ever send or delete it, and it holds a person's voice.
    std::error_code error;
    std::filesystem::path folder;
    try {
        folder = input_->temporaryDirectory();
    } catch (const platform::AudioInput::Failure&) {
        return;
    }
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(filePrefix) && name.ends_with(fileSuffix)) discard(it->path());
    }
}

void Recorder::start() {
    auto file = input_->temporaryDirectory() /
                (std::string(filePrefix) + platform::Uuid::random().text() + std::string(fileSuffix));
    // Throws before anything changes: a take already running keeps running.
    auto capture = input_->record(file);

    // A take still running here can no longer be handed to anyone: end it and
    // remove its file rather than leave a recording behind.
    if (capture_) capture_->finish();
    const auto previous = std::exchange(url_, file);
    capture_ = std::move(capture);
    discard(previous);
}

std::optional<std::filesystem::path> Recorder::stop(double minimumDuration) {
    if (!capture_) return std::nullopt;
    const double captured = capture_->duration();
    capture_->finish();
    capture_.reset();

    auto file = std::exchange(url_, std::nullopt);
    if (!file) return std::nullopt;
    if (captured < minimumDuration) {
        discard(file);
        return std::nullopt;
    }
    return file;
}

void Recording::discard(const std::optional<std::filesystem::path>& file) {
    if (!file) return;
    std::error_code ignored;
    std::filesystem::remove(*file, ignored);
}

Task<bool> Recorder::requestPermission() {
    switch (input_->authorisation()) {
        case Authorisation::authorised:
            co_return true;
        case Authorisation::notDetermined:
            co_return co_await input_->requestAccess();
        case Authorisation::restricted:
        case Authorisation::denied:
            break;
    }
    co_return false;
}

std::optional<float> Recorder::averagePower() const {
    if (!capture_) return std::nullopt;
    return capture_->averagePower();
}

bool Recorder::interrupted() const { return capture_ && capture_->lost(); }

Recorder::Authorisation Recorder::authorisation() { return input_->authorisation(); }

std::optional<std::string> Recorder::deviceName() { return input_->defaultDeviceName(); }

}  // namespace vell::audio
