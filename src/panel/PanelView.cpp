#include "panel/PanelView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/PlatformTexts.h"

namespace vell::panel {

namespace {

using Controller = dictation::DictationController;
using Mode = Controller::Mode;
using Case = Controller::Phase::Case;
using Authorisation = platform::AudioInput::Authorisation;

constexpr const char* idleHint =
    "Record types where your cursor is · Fill reads the front window's form · ⌃⌥Space dictates anywhere";
constexpr const char* dictateBeforeGrant =
    "You can dictate before granting this — the words land on your clipboard, one ⌘V away.";
constexpr const char* olderCopyNote =
    "Already ON in the System Settings list but this circle stays empty? That row belongs to an older copy — "
    "remove Vell there with the − button, then press Grant again.";

std::string subtitleOf(const Controller::Phase& phase, const Controller::Setup& setup) {
    switch (phase.kind()) {
        case Case::recording:
            return "listening…";
        case Case::transcribing:
            return "transcribing…";
        case Case::filling:
            return "filling…";
        case Case::idle:
            break;
    }
    return setup.email.value_or("not signed in");
}

std::string symbolOf(const Controller::Phase& phase) {
    switch (phase.kind()) {
        case Case::recording:
            return "mic.fill";
        case Case::transcribing:
            return "ellipsis";
        case Case::filling:
            return "square.and.pencil";
        case Case::idle:
            break;
    }
    return "mic";
}

bool recordingIn(const Controller::Phase& phase, Mode mode) { return phase.isRecording() && phase.mode() == mode; }

}  // namespace

PanelView::PanelView(Services services)
    : services_(std::move(services)), collapsed_(services_.settings.boolean(collapsedKey, false)) {}

// ---- rules -----------------------------------------------------------------------------------

std::string PanelView::timeString(double seconds) {
    const auto whole = static_cast<long long>(std::trunc(std::max(seconds, 0.0)));
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

std::array<double, PanelView::waveformBars> PanelView::waveformHeights(double level) {
    std::array<double, waveformBars> heights{};
    for (int i = 0; i < waveformBars; ++i) heights[i] = level * waveformWeights[i] + waveformFloor;
    return heights;
}

std::string PanelView::fillLine(const Controller::FillReport& report) {
    const auto filled =
        std::count_if(report.outcomes.begin(), report.outcomes.end(), [](const auto& o) { return o.ok; });
    std::string line =
        "Filled " + std::to_string(filled) + " field" + (filled == 1 ? "" : "s") + " in " + report.appName;
    if (report.unfilled >= 1) line += " · " + std::to_string(report.unfilled) + " left empty";
    return line + " — review before saving";
}

// ---- the model -------------------------------------------------------------------------------

PanelView::Model PanelView::model() const {
    const Controller& c = *services_.controller;
    Model model;
    model.header.symbol = symbolOf(c.phase());
    model.header.subtitle = subtitleOf(c.phase(), c.setup());
    model.header.collapseSymbol = collapsed_ ? "chevron.down" : "chevron.up";
    model.header.collapseTooltip =
        collapsed_ ? "Show the recording controls" : "Hide the controls — the hotkey still works";
    model.menu.launchAtLogin = c.launchAtLogin();
    model.menu.signOutShown = c.setup().signedIn;
    model.collapsed = collapsed_;
    if (collapsed_)
        model.strip = strip();
    else
        model.expanded = expanded();
    return model;
}

PanelView::Checklist PanelView::checklist(const Controller::Setup& setup) const {
    Checklist list;
    list.rows[0] = {Row::account, setup.signedIn, setup.signedIn ? "Signed in" : "Sign in with your Vell account",
                    setup.signedIn ? std::nullopt : std::optional<std::string>("Sign in")};
    list.rows[1] = {Row::microphoneDevice, setup.micDevice.has_value(),
                    setup.micDevice ? "Microphone: " + *setup.micDevice : "No microphone — connect one (AirPods work)",
                    std::nullopt};
    CheckRow permission{Row::microphonePermission, setup.micStatus == Authorisation::authorised, "", std::nullopt};
    switch (setup.micStatus) {
        case Authorisation::authorised:
            permission.label = "Microphone allowed";
            break;
        case Authorisation::restricted:
        case Authorisation::denied:
            permission.label = platform::platformText("Microphone blocked — System Settings › Privacy");
            break;
        case Authorisation::notDetermined:
            permission.label = "Microphone permission";
            permission.button = "Allow";
            break;
    }
    list.rows[2] = std::move(permission);
    list.rows[3] = {Row::accessibility, setup.accessibility,
                    setup.accessibility ? "Accessibility granted" : "Accessibility — lets Vell type for you",
                    setup.accessibility ? std::nullopt : std::optional<std::string>("Grant")};
    if (!setup.accessibility)
        list.notes = {platform::platformText(dictateBeforeGrant), platform::platformText(olderCopyNote)};
    return list;
}

PanelView::Meter PanelView::meter() const {
    const Controller& c = *services_.controller;
    return {waveformHeights(c.micLevel()), timeString(c.elapsed())};
}

PanelView::Expanded PanelView::expanded() const {
    const Controller& c = *services_.controller;
    const auto& phase = c.phase();
    Expanded shown;
    if (!c.setup().complete()) shown.checklist = checklist(c.setup());

    const bool dictating = recordingIn(phase, Mode::dictate);
    const bool filling = recordingIn(phase, Mode::fill);
    shown.dictate = dictating ? BigButton{"Stop & insert", "stop.fill", true, true}
                              : BigButton{"Record", "mic.fill", false, phase.isIdle()};
    shown.fill = filling ? BigButton{"Stop & fill", "stop.fill", true, true}
                         : BigButton{"Fill a form", "square.and.pencil", false, phase.isIdle()};

    switch (phase.kind()) {
        case Case::recording:
            shown.status.meter = meter();
            break;
        case Case::transcribing:
            shown.status = {std::nullopt, true, "Transcribing…"};
            break;
        case Case::filling:
            shown.status = {std::nullopt, true, "Reading the window and filling…"};
            break;
        case Case::idle:
            shown.status.text = platform::platformText(idleHint);
            break;
    }
    shown.undoShown = c.canUndoFill();
    shown.problem = c.problem();
    if (!c.history().empty()) {
        const auto& entry = c.history().front();
        LatestCard card{entry.text, std::nullopt, std::nullopt};
        if (entry.fill)
            card.fillLine = fillLine(*entry.fill);
        else
            card.deliveryNote = entry.delivery == Controller::Delivery::pasted
                                    ? std::string("inserted")
                                    : platform::platformText("copied — ⌘V to paste");
        shown.latest = std::move(card);
    }
    return shown;
}

PanelView::Strip PanelView::strip() const {
    const Controller& c = *services_.controller;
    const auto& phase = c.phase();
    Strip strip;
    if (c.problem()) {
        strip.problem = c.problem();
    } else if (phase.isRecording()) {
        strip.meter = meter();
        strip.stopTitle = phase.mode() == Mode::dictate ? "Stop & insert" : "Stop & fill";
    } else if (phase.kind() == Case::transcribing) {
        strip.busyText = "Transcribing…";
    } else if (phase.kind() == Case::filling) {
        strip.busyText = "Filling…";
    }
    return strip;
}

// ---- presses ---------------------------------------------------------------------------------

void PanelView::toggleCollapsed() {
    collapsed_ = !collapsed_;
    services_.settings.setBoolean(collapsedKey, collapsed_);
}

void PanelView::setLaunchAtLogin(bool on) { services_.controller->setLaunchAtLogin(on); }

void PanelView::openWebApp() {
    if (services_.actions.openWebApp) services_.actions.openWebApp();
}

void PanelView::signOut() {
    if (services_.clearSession) services_.clearSession();
    services_.controller->clearHistory();
    services_.controller->refreshSetup();
}

void PanelView::quit() {
    if (services_.actions.quit) services_.actions.quit();
}

void PanelView::pressRowButton(Row row) {
    const auto& setup = services_.controller->setup();
    switch (row) {
        case Row::account:
            if (!setup.signedIn && services_.actions.openSignIn) services_.actions.openSignIn();
            break;
        case Row::microphonePermission:
            if (setup.micStatus == Authorisation::notDetermined) services_.controller->requestMicrophone();
            break;
        case Row::accessibility:
            if (!setup.accessibility && services_.actions.openAccessibility) services_.actions.openAccessibility();
            break;
        case Row::microphoneDevice:
            break;
    }
}

void PanelView::pressDictate() {
    auto& c = *services_.controller;
    if (c.phase().isIdle())
        c.begin(Mode::dictate);
    else if (recordingIn(c.phase(), Mode::dictate))
        c.finish();
}

void PanelView::pressFill() {
    auto& c = *services_.controller;
    if (c.phase().isIdle() || recordingIn(c.phase(), Mode::fill)) c.toggleFill();
}

void PanelView::pressUndo() { services_.controller->undoLastFill(); }

void PanelView::closeProblem() { services_.controller->clearProblem(); }

void PanelView::insertLatest() {
    auto& c = *services_.controller;
    if (c.history().empty()) return;
    const auto entry = c.history().front();  // a copy: the history may change under the insertion
    c.insertAgain(entry);
}

void PanelView::copyLatest() {
    const auto& history = services_.controller->history();
    if (!history.empty()) services_.clipboard.setText(history.front().text);
}

void PanelView::dismissLatest() { services_.controller->clearHistory(); }

void PanelView::pressStripStop() {
    auto& c = *services_.controller;
    if (recordingIn(c.phase(), Mode::dictate))
        c.finish();
    else if (recordingIn(c.phase(), Mode::fill))
        c.toggleFill();
}

}  // namespace vell::panel
