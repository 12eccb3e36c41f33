#pragma once
// The panel's content as behaviour and data: what is shown, when, with which
// words and symbols, and what each control does, computed from the
// controller's state without a display. A toolkit view draws `model()` after
// each change of the controller and forwards the person's presses here.

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dictation/DictationController.h"
#include "platform/Clipboard.h"
#include "platform/Settings.h"

namespace vell::panel {

class PanelView {
public:
    using Controller = dictation::DictationController;

    // What the program hands the panel to do beyond the controller.
    struct Actions {
        std::function<void()> openWebApp;
        std::function<void()> openSignIn;
        std::function<void()> openAccessibility;
        std::function<void()> quit;
    };

    // Everything the panel works with; each must outlive it.
    struct Services {
        std::shared_ptr<Controller> controller;
        Actions actions;
        platform::Settings& settings;
        platform::Clipboard& clipboard;
        std::function<void()> clearSession;  // the session store's clear
    };

    static constexpr const char* collapsedKey = "vell.panel.collapsed";
    static constexpr int waveformBars = 7;
    static constexpr std::array<double, waveformBars> waveformWeights{18, 26, 34, 40, 34, 26, 18};
    static constexpr double waveformFloor = 6;

    // ---- what is shown -------------------------------------------------------------------
    struct Header {
        std::string symbol;
        std::string subtitle;
        std::string collapseSymbol;
        std::string collapseTooltip;
    };

    // The gear menu's entries that change.
    struct Menu {
        bool launchAtLogin = false;
        bool signOutShown = false;
    };

    enum class Row { account, microphoneDevice, microphonePermission, accessibility };
    struct CheckRow {
        Row row;
        bool done = false;
        std::string label;
        std::optional<std::string> button;  // its title; pressing calls pressRowButton(row)
    };
    struct Checklist {
        std::array<CheckRow, 4> rows;
        std::vector<std::string> notes;
    };

    struct BigButton {
        std::string title;
        std::string symbol;
        bool active = false;   // drawn in red
        bool enabled = false;  // a disabled button ignores presses, drawn at 40 % opacity
    };

    // The live part of a recording: bar heights in points and the clock.
    struct Meter {
        std::array<double, waveformBars> bars{};
        std::string time;
    };

    // The line under the big buttons: the meter while recording, otherwise a
    // text, with a spinner while busy.
    struct StatusLine {
        std::optional<Meter> meter;
        bool spinner = false;
        std::string text;
    };

    struct LatestCard {
        std::string text;
        std::optional<std::string> fillLine;      // a fill with a report
        std::optional<std::string> deliveryNote;  // otherwise, with Insert, Copy and close
    };

    struct Expanded {
        std::optional<Checklist> checklist;
        BigButton dictate;
        BigButton fill;
        StatusLine status;
        bool undoShown = false;
        std::optional<std::string> problem;
        std::optional<LatestCard> latest;
    };

    // Shown instead of the expanded controls while collapsed.
    struct Strip {
        std::optional<std::string> problem;
        std::optional<Meter> meter;  // with the stop button below
        std::optional<std::string> stopTitle;
        std::optional<std::string> busyText;  // with a spinner
        bool empty() const { return !problem && !meter && !busyText; }
    };

    struct Model {
        Header header;
        Menu menu;
        bool collapsed = false;
        std::optional<Expanded> expanded;  // exactly one of these two
        std::optional<Strip> strip;
    };

    explicit PanelView(Services services);

    Model model() const;
    bool collapsed() const { return collapsed_; }
    const std::shared_ptr<Controller>& controller() const { return services_.controller; }

    // ---- what the controls do ------------------------------------------------------------
    void toggleCollapsed();  // stored at once
    void setLaunchAtLogin(bool on);
    void openWebApp();
    void signOut();
    void quit();
    void pressRowButton(Row row);
    void pressDictate();
    void pressFill();
    void pressUndo();
    void closeProblem();
    void insertLatest();
    void copyLatest();
    void dismissLatest();
    void pressStripStop();

    // ---- rules shared with the drawing ---------------------------------------------------
    // Whole seconds as m:ss (75.9 → "1:15").
    static std::string timeString(double seconds);
    // Bar i is level × w(i) + 6 points high.
    static std::array<double, waveformBars> waveformHeights(double level);
    // "Filled 3 fields in Mail · 2 left empty — review before saving".
    static std::string fillLine(const Controller::FillReport& report);

private:
    Checklist checklist(const Controller::Setup& setup) const;
    Expanded expanded() const;
    Strip strip() const;
    Meter meter() const;

    Services services_;
    bool collapsed_ = false;
};

}  // namespace vell::panel
