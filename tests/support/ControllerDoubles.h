#pragma once
// Recording doubles of everything the dictation controller works with. Each
// answers as scripted by its public fields and records only what tests read.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakeClipboard.h"
#include "FakeSession.h"
#include "ScratchFolder.h"
#include "dictation/DictationController.h"
#include "platform/Async.h"

namespace vell::test {

// Takes are real files in `folder`; one shorter than the minimum is deleted at its stop.
class RecorderDouble : public audio::Recording {
public:
    RecorderDouble(platform::MainLoop& loop, std::filesystem::path folder) : loop_(loop), folder_(std::move(folder)) {
        std::filesystem::create_directories(folder_);
    }

    Authorisation status = Authorisation::authorised;
    std::optional<std::string> device = "Virtual Microphone";
    std::optional<float> power = -20.0f;   // what the meter reads while a take runs
    std::optional<bool> permissionAnswer;  // absent keeps the prompt open until answerPermission()
    int starts = 0, permissionRequests = 0;
    std::vector<std::filesystem::path> files;  // every take's file

    void start() override {
        ++starts;
        current_ = files.emplace_back(folder_ / ("take-" + std::to_string(files.size()) + ".m4a"));
        std::ofstream(*current_) << "audio";
        startedAt_ = loop_.now();
    }
    std::optional<std::filesystem::path> stop(double minimumDuration) override {
        auto file = std::exchange(current_, std::nullopt);
        if (file && loop_.now() - startedAt_ < minimumDuration) discard(std::exchange(file, std::nullopt));
        return file;
    }
    Task<bool> requestPermission() override {
        ++permissionRequests;
        if (status == Authorisation::notDetermined) {
            bool granted = permissionAnswer.value_or(false);
            if (!permissionAnswer)
                granted = co_await untilCalled<bool>(loop_, [this](auto answer) { prompt_ = answer; });
            status = granted ? Authorisation::authorised : Authorisation::denied;
        }
        co_return status == Authorisation::authorised;
    }
    void answerPermission(bool granted) { std::exchange(prompt_, std::nullopt).value()(granted); }
    bool promptOpen() const { return prompt_.has_value(); }
    std::optional<float> averagePower() const override { return current_ ? power : std::nullopt; }
    Authorisation authorisation() override { return status; }
    std::optional<std::string> deviceName() override { return device; }

private:
    platform::MainLoop& loop_;
    std::filesystem::path folder_;
    std::optional<std::filesystem::path> current_;
    double startedAt_ = 0;
    std::optional<Resolver<bool>> prompt_;
};

// What a service answers after `seconds`: `value`, or `error` when one is set.
template <typename T>
Task<T> answerAfter(platform::MainLoop& loop, double seconds, std::exception_ptr error, T value) {
    co_await sleep(loop, seconds);
    if (error) std::rethrow_exception(error);
    co_return value;
}

// Answers with `text` (or raises `error`) after the upload time.
class RecogniserDouble : public audio::Recogniser {
public:
    explicit RecogniserDouble(platform::MainLoop& loop) : loop_(loop) {}

    std::string text = "hello there";
    std::exception_ptr error;
    double uploadSeconds = 0.5;
    struct Call {
        std::string mimeType;
        bool fileExisted = false;
    };
    std::vector<Call> calls;

    Task<std::string> transcribe(std::filesystem::path audio, std::string mimeType) override {
        calls.push_back({mimeType, std::filesystem::exists(audio)});
        return answerAfter(loop_, uploadSeconds, error, text);
    }

private:
    platform::MainLoop& loop_;
};

class FillEngineDouble : public fill::FormAccess {
public:
    std::vector<Field> fields;
    std::vector<Outcome> outcomes;  // what apply() answers
    std::exception_ptr enumerateError, applyError;

    std::vector<std::pair<pid_t, int>> enumerations;
    std::vector<std::map<std::string, std::string>> applied;
    std::vector<std::vector<Outcome>> undos;  // the outcomes each undo was given
    std::vector<std::thread::id> threads;     // where each call ran
    std::atomic<int> undoneCount{0};          // for a test on a real loop to wait on

    std::vector<Field> enumerate(pid_t pid, int maxFields) override {
        enumerations.emplace_back(pid, maxFields);
        threads.push_back(std::this_thread::get_id());
        if (enumerateError) std::rethrow_exception(enumerateError);
        return fields;
    }
    std::vector<Outcome> apply(const std::map<std::string, std::string>& values, const std::vector<Field>&) override {
        applied.push_back(values);
        threads.push_back(std::this_thread::get_id());
        if (applyError) std::rethrow_exception(applyError);
        return outcomes;
    }
    void undo(const std::vector<Field>&, const std::vector<Outcome>& undone) override {
        undos.push_back(undone);
        threads.push_back(std::this_thread::get_id());
        ++undoneCount;
    }

    static Field field(std::string id, std::optional<std::string> label) {
        Field f;
        f.id = std::move(id);
        f.label = std::move(label);
        f.type = "text";
        return f;
    }
};

// Answers with `mapping` (or raises `error`) after the answer time.
class FillServiceDouble : public fill::FieldMapping {
public:
    explicit FillServiceDouble(platform::MainLoop& loop) : loop_(loop) {}

    Mapping mapping;
    std::exception_ptr error;
    double answerSeconds = 0.3;
    std::vector<std::map<std::string, std::string>> sources;  // what each request was made from

    Task<Mapping> send(std::map<std::string, std::string> source, std::vector<fill::FormAccess::Field>) override {
        sources.push_back(std::move(source));
        return answerAfter(loop_, answerSeconds, error, mapping);
    }

private:
    platform::MainLoop& loop_;
};

class PasteDouble : public fill::Insertion {
public:
    explicit PasteDouble(platform::MainLoop& loop) : loop_(loop) {}

    struct Insert {
        std::string text;
        double at;
    };
    std::vector<Insert> inserts;

    Task<> insert(std::string text) override {
        inserts.push_back({std::move(text), loop_.now()});
        co_return;
    }

private:
    platform::MainLoop& loop_;
};

class ApplicationDouble : public platform::Desktop::Application {
public:
    ApplicationDouble(pid_t pid, std::optional<std::string> name) : pid_(pid), name_(std::move(name)) {}
    bool terminated = false;

    pid_t processId() const override { return pid_; }
    std::optional<std::string> name() const override { return name_; }
    bool isTerminated() const override { return terminated; }

private:
    pid_t pid_;
    std::optional<std::string> name_;
};

class DesktopDouble : public platform::Desktop {
public:
    static constexpr pid_t ownPid = 4242;

    bool trusted = true;
    std::shared_ptr<ApplicationDouble> front = std::make_shared<ApplicationDouble>(777, "Editor");
    std::vector<std::string> opened;
    int trustQuestions = 0;

    std::shared_ptr<Application> frontApplication() override { return front; }
    pid_t ownProcessId() const override { return ownPid; }
    bool accessibilityTrusted() override { return ++trustQuestions, trusted; }
    void openInBrowser(const std::string& url) override { opened.push_back(url); }
};

class LoginItemDouble : public platform::LoginItem {
public:
    Status current = Status::notRegistered;
    Status afterRegister = Status::enabled;  // the system may want approval
    std::optional<std::string> failure;      // description of a refusal

    Status status() override { return current; }
    void registerItem() override { current = failure ? throw Failure(*failure) : afterRegister; }
    void unregisterItem() override { current = failure ? throw Failure(*failure) : Status::notRegistered; }
};

// Every collaborator of a controller as a double, around one main loop.
template <typename Loop>
struct ControllerParts {
    ScratchFolder folder{"vell-controller-test"};
    Loop loop;
    RecorderDouble recorder{loop, folder.path()};
    RecogniserDouble recogniser{loop};
    FillEngineDouble fillEngine;
    FillServiceDouble fillService{loop};
    PasteDouble paste{loop};
    FakeSession session;
    DesktopDouble desktop;
    FakeClipboard clipboard;
    LoginItemDouble loginItem;

    // The doubles, with a real recorder or recogniser where a test has one.
    dictation::DictationController::Services services(audio::Recording* realRecorder = nullptr,
                                                      audio::Recogniser* realRecogniser = nullptr) {
        return {loop,
                realRecorder ? *realRecorder : recorder,
                realRecogniser ? *realRecogniser : recogniser,
                fillEngine,
                fillService,
                paste,
                session,
                desktop,
                clipboard,
                loginItem};
    }
};

}  // namespace vell::test
