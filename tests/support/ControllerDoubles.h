#pragma once
// Recording doubles of everything the dictation controller works with: the
// recorder (real files in a scratch folder, durations on the virtual clock),
// the recogniser, the fill engine, the fill service, the paste, the session,
// the desktop, the login item and the clipboard. Each replaces every
// operation of what it stands in for and records what it was asked.

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

#include "ScratchFolder.h"
#include "audio/Recogniser.h"
#include "audio/Recording.h"
#include "dictation/DictationController.h"
#include "fill/FieldMapping.h"
#include "fill/FormAccess.h"
#include "fill/Insertion.h"
#include "platform/Async.h"
#include "platform/AudioInput.h"
#include "platform/Clipboard.h"
#include "platform/Desktop.h"
#include "platform/MainLoop.h"
#include "platform/Task.h"
#include "session/Session.h"

namespace vell::test {

// ---- recorder ------------------------------------------------------------------------------

class RecorderDouble : public audio::Recording {
public:
    RecorderDouble(platform::MainLoop& loop, std::filesystem::path folder) : loop_(loop), folder_(std::move(folder)) {
        std::filesystem::create_directories(folder_);
    }

    // Script.
    Authorisation status = Authorisation::authorised;
    std::optional<std::string> device = "Virtual Microphone";
    bool failToStart = false;
    std::optional<float> power = -20.0f;  // what the meter reads while a take runs
    // The answer the permission prompt will give; absent keeps the prompt open
    // until answerPermission().
    std::optional<bool> permissionAnswer;

    // Record.
    int starts = 0;
    int permissionRequests = 0;
    std::vector<double> stopMinimums;
    std::vector<std::filesystem::path> files;  // every file a take was written to

    void start() override {
        ++starts;
        if (failToStart) throw platform::AudioInput::Failure("no source");
        current_ = folder_ / ("take-" + std::to_string(files.size()) + ".m4a");
        std::ofstream(*current_) << "audio";
        files.push_back(*current_);
        startedAt_ = loop_.now();
    }

    std::optional<std::filesystem::path> stop(double minimumDuration) override {
        stopMinimums.push_back(minimumDuration);
        auto file = std::exchange(current_, std::nullopt);
        if (!file) return std::nullopt;
        if (loop_.now() - startedAt_ < minimumDuration) {
            std::filesystem::remove(*file);
            return std::nullopt;
        }
        return file;
    }

    Task<bool> requestPermission() override {
        ++permissionRequests;
        if (status != Authorisation::notDetermined) co_return status == Authorisation::authorised;
        bool granted = false;
        if (permissionAnswer) {
            granted = *permissionAnswer;
        } else {
            auto prompt = untilCalled<bool>(
                loop_, [this](Resolver<bool> answer) { pendingAnswer_ = std::make_unique<Resolver<bool>>(answer); });
            granted = co_await prompt;
        }
        status = granted ? Authorisation::authorised : Authorisation::denied;
        co_return granted;
    }

    // Answers an open permission prompt.
    void answerPermission(bool granted) {
        if (pendingAnswer_) (*std::exchange(pendingAnswer_, nullptr))(granted);
    }
    bool promptOpen() const { return pendingAnswer_ != nullptr; }

    std::optional<float> averagePower() const override { return current_ ? power : std::nullopt; }
    Authorisation authorisation() override { return status; }
    std::optional<std::string> deviceName() override { return device; }

private:
    platform::MainLoop& loop_;
    std::filesystem::path folder_;
    std::optional<std::filesystem::path> current_;
    double startedAt_ = 0;
    std::unique_ptr<Resolver<bool>> pendingAnswer_;
};

// ---- recogniser ----------------------------------------------------------------------------

class RecogniserDouble : public audio::Recogniser {
public:
    explicit RecogniserDouble(platform::MainLoop& loop) : loop_(loop) {}

    struct Call {
        std::filesystem::path audio;
        std::string mimeType;
        bool fileExisted = false;
    };

    // Script: the transcript, or an error to raise, after the upload time.
    std::string text = "hello there";
    std::exception_ptr error;
    double uploadSeconds = 0.5;

    std::vector<Call> calls;

    Task<std::string> transcribe(std::filesystem::path audio, std::string mimeType) override {
        calls.push_back({audio, mimeType, std::filesystem::exists(audio)});
        co_await sleep(loop_, uploadSeconds);
        if (error) std::rethrow_exception(error);
        co_return text;
    }

private:
    platform::MainLoop& loop_;
};

// ---- fill engine ---------------------------------------------------------------------------

class FillEngineDouble : public fill::FormAccess {
public:
    using Values = std::map<std::string, std::string>;

    // Script.
    std::vector<Field> fields;
    std::vector<Outcome> outcomes;  // what apply() answers
    std::exception_ptr enumerateError, applyError;

    // Record.
    std::vector<std::pair<pid_t, int>> enumerations;
    std::vector<std::thread::id> threads;  // where each engine call ran
    std::vector<Values> applied;
    struct Undo {
        std::vector<Field> fields;
        std::vector<Outcome> outcomes;
    };
    std::vector<Undo> undos;
    // Raised after each undo is recorded: a test on a real loop may wait for
    // it while the undo runs on another thread.
    std::atomic<int> undoneCount{0};

    std::vector<Field> enumerate(pid_t pid, int maxFields) override {
        enumerations.emplace_back(pid, maxFields);
        threads.push_back(std::this_thread::get_id());
        if (enumerateError) std::rethrow_exception(enumerateError);
        return fields;
    }
    std::vector<Outcome> apply(const Values& values, const std::vector<Field>&) override {
        applied.push_back(values);
        threads.push_back(std::this_thread::get_id());
        if (applyError) std::rethrow_exception(applyError);
        return outcomes;
    }
    void undo(const std::vector<Field>& undoFields, const std::vector<Outcome>& undoOutcomes) override {
        undos.push_back({undoFields, undoOutcomes});
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

// ---- fill service --------------------------------------------------------------------------

class FillServiceDouble : public fill::FieldMapping {
public:
    explicit FillServiceDouble(platform::MainLoop& loop) : loop_(loop) {}

    Mapping mapping;
    std::exception_ptr error;
    double answerSeconds = 0.3;

    struct Call {
        std::map<std::string, std::string> source;
        std::vector<std::string> fieldIds;
    };
    std::vector<Call> calls;

    Task<Mapping> send(std::map<std::string, std::string> source,
                       std::vector<fill::FormAccess::Field> fields) override {
        Call call{std::move(source), {}};
        for (const auto& f : fields) call.fieldIds.push_back(f.id);
        calls.push_back(std::move(call));
        co_await sleep(loop_, answerSeconds);
        if (error) std::rethrow_exception(error);
        co_return mapping;
    }

private:
    platform::MainLoop& loop_;
};

// ---- paste ---------------------------------------------------------------------------------

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

// ---- session -------------------------------------------------------------------------------

class SessionDouble : public session::Session {
public:
    bool signedIn = true;
    std::optional<std::string> address = "ada@example.com";

    bool isSignedIn() const override { return signedIn; }
    std::optional<std::string> email() const override { return address; }
    Task<std::string> accessToken() override {
        if (!signedIn) throw Error("Sign in from the Vell panel first.");
        co_return "token";
    }
};

// ---- desktop -------------------------------------------------------------------------------

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
    bool accessibilityTrusted() override {
        ++trustQuestions;
        return trusted;
    }
    void openInBrowser(const std::string& url) override { opened.push_back(url); }
};

// ---- login item ----------------------------------------------------------------------------

class LoginItemDouble : public platform::LoginItem {
public:
    Status current = Status::notRegistered;
    // What a successful registration leaves behind (the system may want approval).
    Status afterRegister = Status::enabled;
    std::optional<std::string> failure;  // description of a refusal
    std::vector<std::string> calls;

    Status status() override { return current; }
    void registerItem() override {
        calls.push_back("register");
        if (failure) throw Failure(*failure);
        current = afterRegister;
    }
    void unregisterItem() override {
        calls.push_back("unregister");
        if (failure) throw Failure(*failure);
        current = Status::notRegistered;
    }
};

// ---- clipboard -----------------------------------------------------------------------------

// Holds plain text only; enough for the copy path of the controller.
class ControllerClipboardDouble : public platform::Clipboard {
public:
    std::optional<std::string> text;
    std::vector<std::string> texts;  // every text put on it
    std::uint64_t changes = 0;

    Task<Snapshot> capture() override {
        Snapshot snapshot;
        if (text) snapshot.items.push_back({{"text/plain;charset=utf-8", *text}});
        co_return snapshot;
    }
    std::uint64_t setText(const std::string& utf8) override {
        text = utf8;
        texts.push_back(utf8);
        return ++changes;
    }
    void restore(const Snapshot&) override { ++changes; }
    std::uint64_t changeCount() override { return changes; }
    void setOnServed(std::function<void(std::uint64_t)>) override {}
};

// ---- all of them ---------------------------------------------------------------------------

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
    SessionDouble session;
    DesktopDouble desktop;
    ControllerClipboardDouble clipboard;
    LoginItemDouble loginItem;

    dictation::DictationController::Services services() {
        return {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, loginItem};
    }
};

}  // namespace vell::test
