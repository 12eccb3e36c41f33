#include "dictation/DictationController.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/Async.h"
#include "platform/PlatformTexts.h"

namespace vell::dictation {

namespace {

using Authorisation = platform::AudioInput::Authorisation;

// The texts the person sees, in the words of the original program; keys and
// settings places and the Mac itself go through platform::platformText.
constexpr const char* signInFirst = "Sign in first — it's in the checklist above.";
constexpr const char* noMicrophone = "No microphone found on this Mac. Connect one — AirPods work.";
constexpr const char* microphoneOff = "Microphone access is off — turn it on in System Settings › Privacy & Security.";
constexpr const char* couldNotStart = "Could not start the microphone.";
constexpr const char* microphoneLost = "The microphone stopped — try again.";
constexpr const char* didntCatch = "Didn't catch anything — was the microphone close enough?";
constexpr const char* copiedPressPaste = "Copied — press ⌘V to paste. Grant Accessibility and this becomes automatic.";
constexpr const char* fillNeedsAccessibility = "Fill needs Accessibility — grant it in the checklist above.";
constexpr const char* insertNeedsAccessibility = "Insert needs Accessibility — grant it in the checklist above.";
constexpr const char* clickIntoForFill = "Click into the app you want to fill first, then press Fill.";
constexpr const char* clickIntoForInsert = "Click into the app you want to fill first, then press Insert.";
constexpr const char* windowGone = "The window you were filling has gone.";
constexpr const char* putBack = "Put the previous values back.";
constexpr const char* filledFromNote = "Filled from a note";
constexpr const char* loginItemFailed = "Could not change the login item: ";
constexpr const char* audioType = "audio/m4a";

std::string couldNotReadFields(const std::optional<std::string>& appName) {
    return "Couldn't read any fields in " + appName.value_or("that app") +
           ". Native apps work best; web forms will come with the Chrome extension.";
}

std::string nothingMatched(bool spoken, const std::optional<std::string>& appName) {
    return std::string(spoken ? "Nothing in what you said matched the fields in "
                              : "Nothing in that note matched the fields in ") +
           appName.value_or("that window") + ".";
}

// Resumes the awaiting flow on a later turn of the main loop, so that an
// operation returns to its caller before its asynchronous step begins.
struct NextTurn {
    platform::MainLoop& loop;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> flow) {
        loop.post([flow] { flow.resume(); });
    }
    void await_resume() const noexcept {}
};

// A used recording is deleted however its flow ends; failing to delete it
// changes nothing for the person.
class RecordingFile {
public:
    explicit RecordingFile(std::filesystem::path path) : path_(std::move(path)) {}
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;
    ~RecordingFile() { audio::Recording::discard(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Trims Unicode white space and line breaks from both ends of UTF-8 text.
std::string trimmed(const std::string& text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c;
        U8_PREV(s, begin, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

DictationController::FillReport::Record recordOf(const fill::FormAccess::Outcome& outcome) {
    return {outcome.label, outcome.value, outcome.result != fill::FormAccess::Applied::failed,
            outcome.result == fill::FormAccess::Applied::applied};
}

DictationController::Entry newEntry(std::string text, DictationController::Mode mode) {
    DictationController::Entry entry;
    entry.id = DictationController::Entry::Id::random();
    entry.date = std::chrono::system_clock::now();
    entry.text = std::move(text);
    entry.mode = mode;
    return entry;
}

}  // namespace

// ---- creation ------------------------------------------------------------------------------

std::shared_ptr<DictationController> DictationController::create(Services services) {
    auto controller = std::make_shared<DictationController>(Passkey{}, services);
    controller->refreshSetup();
    return controller;
}

DictationController::DictationController(Passkey, Services services)
    : services_(services),
      launchAtLogin_(objectWillChange_, services.loginItem.status() == platform::LoginItem::Status::enabled) {}

DictationController::~DictationController() {
    // The timers would do nothing without us; stop them firing for nothing.
    meter_.cancel();
    problemTimer_.cancel();
}

// ---- dictation -----------------------------------------------------------------------------

void DictationController::begin(Mode mode) {
    if (startPending_) return;
    const Setup& setup = setup_.get();
    if (!setup.signedIn) return report(signInFirst);
    if (!setup.micDevice) return report(platform::platformText(noMicrophone));
    if (setup.micStatus == Authorisation::denied) return report(platform::platformText(microphoneOff));
    startPending_ = true;
    startingMode_ = mode;
    finishPending_ = false;
    startRecording(shared_from_this(), mode).detach();
}

Task<> DictationController::startRecording(Self /*alive until the flow ends*/, Mode mode) {
    auto& recorder = services_.recorder;
    co_await NextTurn{services_.loop};
    if (setup_.get().micStatus == Authorisation::notDetermined) {
        bool granted = false;
        try {
            granted = co_await recorder.requestPermission();
        } catch (...) {
            granted = false;  // a prompt that failed allowed nothing
        }
        refreshSetup();
        if (!granted) {
            startPending_ = false;
            co_return;
        }
    }
    startPending_ = false;
    try {
        recorder.start();
    } catch (...) {
        report(couldNotStart);
        co_return;
    }
    phase_.set(Phase::recording(mode));
    elapsed_.set(0.0);
    meter_.cancel();
    meter_ = services_.loop.every(meterPeriod, [weak = weak_from_this()] {
        if (auto controller = weak.lock()) controller->meterTick();
    });
    if (std::exchange(finishPending_, false)) finish();
}

void DictationController::meterTick() {
    if (services_.recorder.interrupted()) return endInterruptedTake();
    double level = 0.0;
    if (auto power = services_.recorder.averagePower()) {
        level = std::min((static_cast<double>(*power) + 50.0) / 50.0, 1.0);
        if (level < 0.0) level = 0.0;
    }
    micLevel_.set(level);
    elapsed_.set(elapsed_.get() + meterPeriod);
}

void DictationController::endInterruptedTake() {
    // What was captured before the loss is not sent: the take is dropped whole.
    meter_.cancel();
    meter_ = {};
    micLevel_.set(0.0);
    audio::Recording::discard(services_.recorder.stop(0));
    phase_.set(Phase::idle());
    report(microphoneLost);
}

void DictationController::finish() {
    if (!phase_.get().isRecording()) {
        if (startPending_) finishPending_ = true;
        return;
    }
    const Mode mode = *phase_.get().mode();
    meter_.cancel();
    meter_ = {};
    micLevel_.set(0.0);
    auto file = services_.recorder.stop(minimumTake);
    if (!file) {
        phase_.set(Phase::idle());
        return;
    }
    phase_.set(Phase::transcribing(mode));
    transcribe(shared_from_this(), *file, mode).detach();
}

Task<> DictationController::transcribe(Self self, std::filesystem::path path, Mode mode) {
    const RecordingFile file(std::move(path));
    co_await NextTurn{services_.loop};
    std::string text;
    try {
        text = co_await services_.recogniser.transcribe(file.path(), audioType);
    } catch (const std::exception& error) {
        phase_.set(Phase::idle());
        report(error.what());
        co_return;
    } catch (...) {
        phase_.set(Phase::idle());  // nothing to tell, but never stuck in transcribing
        co_return;
    }
    if (text.empty()) {
        phase_.set(Phase::idle());
        report(didntCatch);
    } else if (mode == Mode::fill) {
        co_await fill(self, text);
    } else {
        deliver(text);
    }
}

void DictationController::deliver(const std::string& text) {
    Entry entry = newEntry(text, Mode::dictate);
    if (services_.desktop.accessibilityTrusted()) {
        insertViaPaste(text);
        entry.delivery = Delivery::pasted;
    } else {
        services_.clipboard.setText(text);
        entry.delivery = Delivery::copied;
        report(platform::platformText(copiedPressPaste));
    }
    record(std::move(entry));
    phase_.set(Phase::idle());
}

void DictationController::insertViaPaste(const std::string& text) {
    if (willInsert) willInsert();
    services_.loop.after(pasteDelay, [weak = weak_from_this(), text] {
        if (auto controller = weak.lock()) controller->services_.paste.insert(text).detach();
    });
}

void DictationController::report(const std::string& message) {
    problem_.set(message);
    problemTimer_.cancel();
    problemTimer_ = services_.loop.after(problemDisplayTime, [weak = weak_from_this()] {
        if (auto controller = weak.lock()) controller->problem_.set(std::nullopt);
    });
}

void DictationController::record(Entry entry) {
    history_.modify([&](std::vector<Entry>& history) { history.insert(history.begin(), std::move(entry)); });
    trimHistory();
}

void DictationController::trimHistory() {
    if (history_.get().size() <= historyCap) return;
    history_.modify([](std::vector<Entry>& history) { history.resize(historyCap); });
}

// ---- fill and insert -----------------------------------------------------------------------

bool DictationController::chooseTarget(const char* accessibilityMessage, const char* clickIntoMessage) {
    if (!services_.desktop.accessibilityTrusted()) {
        report(accessibilityMessage);
        return false;
    }
    auto front = services_.desktop.frontApplication();
    if (!front || front->processId() == services_.desktop.ownProcessId()) {
        report(clickIntoMessage);
        return false;
    }
    fillTarget_ = std::move(front);
    return true;
}

void DictationController::toggleFill() {
    const Phase& phase = phase_.get();
    if (phase == Phase::recording(Mode::fill)) return finish();
    if (!phase.isIdle()) return;
    if (!chooseTarget(fillNeedsAccessibility, clickIntoForFill)) return;
    begin(Mode::fill);
}

Task<> DictationController::fill(Self self, std::string text) {
    auto target = fillTarget_;
    if (!target || target->isTerminated()) {
        phase_.set(Phase::idle());
        report(windowGone);
        co_return;
    }
    phase_.set(Phase::filling());
    const pid_t pid = target->processId();
    FillRequest request;
    request.source.emplace("transcript", text);
    request.entryText = text;
    request.spoken = true;
    co_await runFill(self, target, pid, std::move(request));
}

void DictationController::fillFromNote(const std::string& noteId, const std::optional<std::string>& title) {
    if (!phase_.get().isIdle()) return;
    if (!chooseTarget(insertNeedsAccessibility, clickIntoForInsert)) return;
    phase_.set(Phase::filling());
    auto target = fillTarget_;
    const pid_t pid = target->processId();
    FillRequest request;
    request.source.emplace("noteId", noteId);
    request.entryText = title && !title->empty() ? *title : filledFromNote;
    noteFill(shared_from_this(), std::move(target), pid, std::move(request)).detach();
}

Task<> DictationController::noteFill(Self self, std::shared_ptr<Application> target, pid_t pid, FillRequest request) {
    co_await NextTurn{services_.loop};
    co_await runFill(self, std::move(target), pid, std::move(request));
}

Task<> DictationController::runFill(Self /*alive until the flow ends*/, std::shared_ptr<Application> target, pid_t pid,
                                    FillRequest request) {
    auto& loop = services_.loop;
    auto* engine = &services_.fillEngine;

    // Awaiters are named locals: temporaries with captures inside a co_await
    // expression are not reliably kept alive by every compiler we build with.
    std::vector<fill::FormAccess::Field> fields;
    try {
        auto enumerating = onBackground(loop, [engine, pid] { return engine->enumerate(pid, maxFields); });
        fields = co_await enumerating;
    } catch (...) {
        fields.clear();  // a window that cannot be read has no fields for us
    }
    if (fields.empty()) {
        phase_.set(Phase::idle());
        report(target->isTerminated() ? windowGone : couldNotReadFields(target->name()));
        co_return;
    }

    fill::FieldMapping::Mapping mapping;
    try {
        mapping = co_await services_.fillService.send(request.source, fields);
    } catch (const std::exception& error) {
        phase_.set(Phase::idle());
        report(error.what());
        co_return;
    } catch (...) {
        phase_.set(Phase::idle());
        co_return;
    }
    if (mapping.values.empty()) {
        phase_.set(Phase::idle());
        if (request.spoken) record(newEntry(request.entryText, Mode::fill));
        report(nothingMatched(request.spoken, target->name()));
        co_return;
    }

    std::vector<fill::FormAccess::Outcome> outcomes;
    try {
        auto applying =
            onBackground(loop, [engine, values = mapping.values, fields] { return engine->apply(values, fields); });
        outcomes = co_await applying;
    } catch (const std::exception& error) {
        phase_.set(Phase::idle());
        report(error.what());
        co_return;
    } catch (...) {
        phase_.set(Phase::idle());
        co_return;
    }
    if (target->isTerminated()) {
        // The application ended while it was read or written: whatever was
        // written went with it, and there is nothing to show or put back.
        phase_.set(Phase::idle());
        report(windowGone);
        co_return;
    }
    objectWillChange_.send();  // the undo button follows the kept fields
    fillFields_ = std::move(fields);
    lastOutcomes_ = outcomes;

    FillReport fillReport;
    fillReport.appName = target->name().value_or("app");
    std::transform(outcomes.begin(), outcomes.end(), std::back_inserter(fillReport.outcomes), recordOf);
    fillReport.unfilled = static_cast<int>(mapping.unfilled.size());
    Entry entry = newEntry(request.entryText, Mode::fill);
    entry.fill = std::move(fillReport);
    record(std::move(entry));
    phase_.set(Phase::idle());
}

void DictationController::insertText(const std::string& text) {
    const std::string words = trimmed(text);
    if (words.empty()) return;
    if (!services_.desktop.accessibilityTrusted()) {
        services_.clipboard.setText(words);
        report(platform::platformText(copiedPressPaste));
        return;
    }
    insertViaPaste(words);
}

void DictationController::insertAgain(const Entry& entry) {
    if (!services_.desktop.accessibilityTrusted()) {
        services_.clipboard.setText(entry.text);
        return;
    }
    insertViaPaste(entry.text);
}

void DictationController::undoLastFill() {
    if (fillFields_.empty()) return;
    objectWillChange_.send();
    auto fields = std::exchange(fillFields_, {});
    auto outcomes = std::exchange(lastOutcomes_, {});
    services_.loop.background(
        [engine = &services_.fillEngine, fields = std::move(fields), outcomes = std::move(outcomes)] {
            try {
                engine->undo(fields, outcomes);
            } catch (...) {
                // Nobody waits for the undo; the person already saw the message.
            }
        });
    report(putBack);
}

// ---- setup ---------------------------------------------------------------------------------

void DictationController::refreshSetup() {
    Setup setup;
    setup.signedIn = services_.session.isSignedIn();
    setup.email = services_.session.email();
    setup.micStatus = services_.recorder.authorisation();
    setup.micDevice = services_.recorder.deviceName();
    setup.accessibility = services_.desktop.accessibilityTrusted();
    const bool signedIn = setup.signedIn;
    // The setup watch measures every few seconds; an unchanged record must not
    // wake the panel and the tray item for nothing.
    if (setup != setup_.get()) setup_.set(std::move(setup));
    // A sign-in inside the panel's web application counts too.
    if (!signedIn && !pageAsked_) noticeSignInAtPage(weak_from_this(), services_.session).detach();
}

Task<> DictationController::noticeSignInAtPage(std::weak_ptr<DictationController> weak, session::Session& session) {
    if (auto self = weak.lock()) self->pageAsked_ = true;
    bool found = false;
    try {
        found = co_await session.noticeSignInAtPage();
    } catch (...) {
        found = false;  // an unanswered question found nobody
    }
    auto self = weak.lock();
    if (!self) co_return;
    self->pageAsked_ = false;
    if (found) self->refreshSetup();
}

void DictationController::requestMicrophone() { askForMicrophone(shared_from_this()).detach(); }

Task<> DictationController::askForMicrophone(Self /*alive until the flow ends*/) {
    co_await NextTurn{services_.loop};
    try {
        co_await services_.recorder.requestPermission();
    } catch (...) {
        // The answer is not used; the refresh shows whatever the status is now.
    }
    refreshSetup();
}

void DictationController::setLaunchAtLogin(bool on) {
    auto& item = services_.loginItem;
    try {
        if (on)
            item.registerItem();
        else
            item.unregisterItem();
    } catch (const std::exception& error) {
        report(std::string(loginItemFailed) + error.what());
        return;
    }
    launchAtLogin_.set(item.status() == platform::LoginItem::Status::enabled);
}

}  // namespace vell::dictation
