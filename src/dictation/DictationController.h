#pragma once
// The one observable model of the program: what is going on (recording,
// transcribing, filling), the latest results, the one-line problem text, the
// setup checklist, the live level and clock, and the start-at-login switch;
// and every flow the person starts: dictation, spoken and note fill,
// insertion, undo and setup. It lives on the main loop; blocking work runs in
// the background and comes back to it.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/Recogniser.h"
#include "audio/Recording.h"
#include "dictation/ChangeSignal.h"
#include "fill/FieldMapping.h"
#include "fill/FormAccess.h"
#include "fill/Insertion.h"
#include "platform/AudioInput.h"
#include "platform/Clipboard.h"
#include "platform/Desktop.h"
#include "platform/MainLoop.h"
#include "platform/Task.h"
#include "platform/Uuid.h"
#include "session/Session.h"

namespace vell::dictation {

class DictationController : public std::enable_shared_from_this<DictationController> {
public:
    // What a recording is for.
    enum class Mode { dictate, fill };

    // The current work; every phase but idle is busy.
    class Phase {
    public:
        enum class Case { recording, transcribing, idle, filling };

        static Phase recording(Mode mode) { return Phase(Case::recording, mode); }
        static Phase transcribing(Mode mode) { return Phase(Case::transcribing, mode); }
        static Phase idle() { return Phase(Case::idle, Mode::dictate); }
        static Phase filling() { return Phase(Case::filling, Mode::dictate); }

        Case kind() const { return case_; }
        // The purpose of a recording or transcription; absent in the other phases.
        std::optional<Mode> mode() const {
            if (case_ == Case::recording || case_ == Case::transcribing) return mode_;
            return std::nullopt;
        }
        bool isIdle() const { return case_ == Case::idle; }
        bool isRecording() const { return case_ == Case::recording; }

        // Same case and, for recording and transcribing, the same mode.
        bool operator==(const Phase& other) const { return case_ == other.case_ && mode() == other.mode(); }

    private:
        Phase(Case c, Mode m) : case_(c), mode_(m) {}
        Case case_;
        Mode mode_;
    };

    // How a dictation reached the person.
    enum class Delivery { pasted, copied };

    // The setup checklist as last measured.
    struct Setup {
        bool signedIn = false;
        std::optional<std::string> email;
        platform::AudioInput::Authorisation micStatus = platform::AudioInput::Authorisation::notDetermined;
        std::optional<std::string> micDevice;
        bool accessibility = false;

        bool complete() const {
            return signedIn && micStatus == platform::AudioInput::Authorisation::authorised && micDevice &&
                   accessibility;
        }
        bool operator==(const Setup&) const = default;
    };

    // What one fill that wrote values did.
    struct FillReport {
        struct Record {
            std::string label;
            std::string value;
            bool ok = false;     // the write did not fail
            bool exact = false;  // the field reads back exactly what was written
            bool operator==(const Record&) const = default;
        };
        std::string appName;
        std::vector<Record> outcomes;
        int unfilled = 0;
    };

    // One line of the history.
    struct Entry {
        // A random (version 4) UUID.
        using Id = platform::Uuid;

        Id id;
        std::chrono::system_clock::time_point date;
        std::string text;
        Mode mode = Mode::dictate;
        std::optional<Delivery> delivery;
        std::optional<FillReport> fill;
    };

    // Everything the controller works with; each must outlive it.
    struct Services {
        platform::MainLoop& loop;
        audio::Recording& recorder;
        audio::Recogniser& recogniser;
        fill::FormAccess& fillEngine;
        fill::FieldMapping& fillService;
        fill::Insertion& paste;
        session::Session& session;
        platform::Desktop& desktop;
        platform::Clipboard& clipboard;
        platform::LoginItem& loginItem;
    };

    static constexpr std::size_t historyCap = 20;
    static constexpr double meterPeriod = 0.1;
    static constexpr double minimumTake = 0.25;
    static constexpr double pasteDelay = 0.15;
    static constexpr double problemDisplayTime = 8.0;
    static constexpr int maxFields = 40;

    // A new controller with its setup already measured. Flows and timers
    // need the controller in a shared_ptr, so this is the only way to make one.
    static std::shared_ptr<DictationController> create(Services services);
    ~DictationController();

    DictationController(const DictationController&) = delete;
    DictationController& operator=(const DictationController&) = delete;

    // ---- published state ----------------------------------------------------------------
    // Sent once before every assignment of a published property.
    const ChangeSignal& objectWillChange() const { return objectWillChange_; }
    [[nodiscard]] ChangeSignal::Subscription subscribe(std::function<void()> observer) {
        return objectWillChange_.subscribe(std::move(observer));
    }

    const Phase& phase() const { return phase_.get(); }
    const std::vector<Entry>& history() const { return history_.get(); }  // newest first
    const std::optional<std::string>& problem() const { return problem_.get(); }
    const Setup& setup() const { return setup_.get(); }
    double micLevel() const { return micLevel_.get(); }  // 0 to 1
    double elapsed() const { return elapsed_.get(); }    // seconds, counted in meter ticks
    bool launchAtLogin() const { return launchAtLogin_.get(); }
    // Whether the last fill kept fields to put back; announced like the rest.
    bool canUndoFill() const { return !fillFields_.empty(); }

    // Run immediately before each synthetic paste (the program hides its panel).
    std::function<void()> willInsert;

    // ---- dictation ---------------------------------------------------------------------
    // Checks the preconditions and starts a recording; callers call it only when idle.
    void begin(Mode mode);
    // Stops the recording in progress (either mode) and transcribes it. While
    // a recording is still starting, it is stopped as soon as it has begun.
    void finish();
    // Whether a recording for `mode` has been asked for and has not begun yet.
    bool isStarting(Mode mode) const { return startPending_ && startingMode_ == mode; }
    // Runs willInsert, then pastes `text` at the cursor after the paste delay.
    void insertViaPaste(const std::string& text);

    // ---- fill and insert ---------------------------------------------------------------
    // The fill button: starts a spoken fill when idle, ends its recording.
    void toggleFill();
    // Fills the front window from a note of the web application.
    void fillFromNote(const std::string& noteId, const std::optional<std::string>& title);
    // Types a text from the web application at the cursor.
    void insertText(const std::string& text);
    // The latest result card's insert button.
    void insertAgain(const Entry& entry);
    // Puts back the values the last fill replaced; only once.
    void undoLastFill();

    // ---- setup -------------------------------------------------------------------------
    void refreshSetup();
    void requestMicrophone();
    void setLaunchAtLogin(bool on);

    // ---- the panel's direct edits ------------------------------------------------------
    void clearProblem() { problem_.set(std::nullopt); }
    void clearHistory() { history_.set({}); }

private:
    struct Passkey {};

public:
    DictationController(Passkey, Services services);

private:
    using Self = std::shared_ptr<DictationController>;
    using Application = platform::Desktop::Application;

    // What a fill is started from and how its outcome is told.
    struct FillRequest {
        std::map<std::string, std::string> source;
        std::string entryText;
        bool spoken = false;
    };

    Task<> startRecording(Self self, Mode mode);
    void meterTick();
    void endInterruptedTake();
    Task<> transcribe(Self self, std::filesystem::path file, Mode mode);
    void deliver(const std::string& text);
    Task<> fill(Self self, std::string text);
    Task<> noteFill(Self self, std::shared_ptr<Application> target, pid_t pid, FillRequest request);
    Task<> runFill(Self self, std::shared_ptr<Application> target, pid_t pid, FillRequest request);
    Task<> askForMicrophone(Self self);
    static Task<> noticeSignInAtPage(std::weak_ptr<DictationController> self, session::Session& session);
    bool chooseTarget(const char* accessibilityMessage, const char* clickIntoMessage);
    void report(const std::string& message);
    void record(Entry entry);
    void trimHistory();

    Services services_;

    ChangeSignal objectWillChange_;
    Published<Phase> phase_{objectWillChange_, Phase::idle()};
    Published<std::vector<Entry>> history_{objectWillChange_, {}};
    Published<std::optional<std::string>> problem_{objectWillChange_, std::nullopt};
    Published<Setup> setup_{objectWillChange_, Setup{}};
    Published<double> micLevel_{objectWillChange_, 0.0};
    Published<double> elapsed_{objectWillChange_, 0.0};
    Published<bool> launchAtLogin_{objectWillChange_, false};

    std::shared_ptr<Application> fillTarget_;
    std::vector<fill::FormAccess::Field> fillFields_;
    std::vector<fill::FormAccess::Outcome> lastOutcomes_;
    platform::MainLoop::Timer meter_;
    platform::MainLoop::Timer problemTimer_;
    // A start that has not yet reached the recorder (it may be waiting for the
    // permission answer). A second start is turned away meanwhile: both would
    // start the recorder in turn and the first take's file would be left behind.
    bool startPending_ = false;
    Mode startingMode_ = Mode::dictate;
    // A finish() that came while the recording was starting (a quick tap).
    bool finishPending_ = false;
    // The web application is being asked whether somebody signed in there.
    bool pageAsked_ = false;
};

}  // namespace vell::dictation
