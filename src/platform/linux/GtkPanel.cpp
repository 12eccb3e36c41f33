#include "platform/linux/GtkPanel.h"

#include <array>
#include <cmath>
#include <functional>
#include <string>

#include "panel/FloatingPanel.h"
#include "platform/linux/SymbolIcons.h"

namespace vell::platform {

namespace {

using View = panel::PanelView;

constexpr const char* css = R"(
window.vell-opaque { background-color: #f6f5f4; }
window.vell-translucent { background-color: rgba(246, 245, 244, 0.93); }
.vell-title { font-weight: bold; }
.vell-dim { color: alpha(currentColor, 0.6); }
.vell-faint { color: alpha(currentColor, 0.45); font-size: smaller; }
.vell-heading { color: alpha(currentColor, 0.6); font-size: smaller; font-weight: bold; }
.vell-done { color: #2ea043; }
.vell-small { font-size: smaller; }
button.vell-big { background-image: none; background-color: #3584e4; color: white; border-radius: 10px;
                  border: none; box-shadow: none; padding: 10px 6px; }
button.vell-big label, button.vell-big image { color: white; }
button.vell-big.vell-active, button.vell-stop { background-image: none; background-color: #e5383b; color: white; }
button.vell-stop label, button.vell-stop image { color: white; }
button.vell-big:disabled { opacity: 0.4; }
.vell-orange, button.vell-undo, button.vell-undo label, button.vell-undo image { color: #f08c00; }
.vell-banner { background-color: rgba(255, 149, 0, 0.12); border-radius: 10px; padding: 6px 8px; }
.vell-card { background-color: rgba(0, 0, 0, 0.05); border-radius: 10px; padding: 8px; }
.vell-time { font-family: monospace; font-feature-settings: "tnum"; }
)";

// Connects a signal whose handler takes only the instance to a function kept
// as long as the connection.
void on(gpointer instance, const char* signal, std::function<void()> handler) {
    using Handler = std::function<void()>;
    g_signal_connect_data(
        instance, signal, G_CALLBACK(+[](gpointer, gpointer data) { (*static_cast<Handler*>(data))(); }),
        new Handler(std::move(handler)), [](gpointer data, GClosure*) { delete static_cast<Handler*>(data); },
        GConnectFlags(0));
}

void addClass(GtkWidget* widget, const char* name) {
    gtk_style_context_add_class(gtk_widget_get_style_context(widget), name);
}

void setClass(GtkWidget* widget, const char* name, bool on) {
    auto* context = gtk_widget_get_style_context(widget);
    on ? gtk_style_context_add_class(context, name) : gtk_style_context_remove_class(context, name);
}

// The accessible name tests and screen readers find the control by.
void setName(GtkWidget* widget, const std::string& name) {
    AtkObject* accessible = gtk_widget_get_accessible(widget);
    const char* now = atk_object_get_name(accessible);
    if (!now || name != now) atk_object_set_name(accessible, name.c_str());
}

void setText(GtkWidget* label, const std::string& text) {
    if (text != gtk_label_get_text(GTK_LABEL(label))) gtk_label_set_text(GTK_LABEL(label), text.c_str());
}

void setIcon(GtkWidget* image, const std::string& symbol) {
    const std::string icon = symbolIconName(symbol);
    const char* now = nullptr;
    GtkIconSize size = GTK_ICON_SIZE_BUTTON;
    if (gtk_image_get_storage_type(GTK_IMAGE(image)) == GTK_IMAGE_ICON_NAME)
        gtk_image_get_icon_name(GTK_IMAGE(image), &now, &size);
    if (!now || icon != now) gtk_image_set_from_icon_name(GTK_IMAGE(image), icon.c_str(), size);
}

void setTooltip(GtkWidget* widget, const std::string& text) {
    gchar* now = gtk_widget_get_tooltip_text(widget);
    if (!now || text != now) gtk_widget_set_tooltip_text(widget, text.c_str());
    g_free(now);
}

GtkWidget* label(const std::string& text, const char* styleClass = nullptr) {
    GtkWidget* widget = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(widget), 0);
    if (styleClass) addClass(widget, styleClass);
    return widget;
}

// Long texts wrap (or, when ellipsized, shorten) within the panel's width
// instead of widening the window: asking for little natural width lets the
// label take whatever the column gives it.
GtkWidget* wrapping(GtkWidget* widget) {
    gtk_label_set_line_wrap(GTK_LABEL(widget), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(widget), 1);
    return widget;
}

GtkWidget* image(const char* symbol, GtkIconSize size = GTK_ICON_SIZE_BUTTON) {
    return gtk_image_new_from_icon_name(symbolIconName(symbol).c_str(), size);
}

GtkWidget* box(GtkOrientation orientation, int spacing) { return gtk_box_new(orientation, spacing); }

void pack(GtkWidget* container, GtkWidget* child, bool expand = false) {
    gtk_box_pack_start(GTK_BOX(container), child, expand, expand, 0);
}

// A button never takes the keyboard focus: pressing it leaves the focus in
// the application the person works in.
GtkWidget* button(GtkWidget* child, const std::string& name, std::function<void()> press) {
    GtkWidget* widget = gtk_button_new();
    if (child) gtk_container_add(GTK_CONTAINER(widget), child);
    gtk_widget_set_can_focus(widget, FALSE);
    gtk_widget_set_focus_on_click(widget, FALSE);
    setName(widget, name);
    on(widget, "clicked", std::move(press));
    return widget;
}

GtkWidget* textButton(const std::string& title, std::function<void()> press) {
    GtkWidget* widget = button(gtk_label_new(title.c_str()), title, std::move(press));
    addClass(widget, "vell-small");
    return widget;
}

GtkWidget* symbolButton(const char* symbol, const std::string& name, std::function<void()> press) {
    GtkWidget* widget = button(image(symbol), name, std::move(press));
    gtk_button_set_relief(GTK_BUTTON(widget), GTK_RELIEF_NONE);
    return widget;
}

// Seven red bars whose heights follow the model with a 0.1 s ease-out.
class Waveform {
public:
    static constexpr double barWidth = 3, gap = 3, stripHeight = 46, easeSeconds = 0.1;

    Waveform() : area_(gtk_drawing_area_new()) {
        gtk_widget_set_size_request(area_, static_cast<int>(View::waveformBars * (barWidth + gap) - gap),
                                    static_cast<int>(stripHeight));
        g_signal_connect(area_, "draw", G_CALLBACK(&Waveform::draw), this);
        shown_ = to_ = View::waveformHeights(0);
    }
    Waveform(const Waveform&) = delete;
    Waveform& operator=(const Waveform&) = delete;

    GtkWidget* widget() const { return area_; }

    void set(const std::array<double, View::waveformBars>& heights) {
        if (heights == to_) return;
        from_ = shown_;
        to_ = heights;
        start_ = g_get_monotonic_time();
        if (!tick_) tick_ = gtk_widget_add_tick_callback(area_, &Waveform::step, this, nullptr);
    }

private:
    static gboolean step(GtkWidget* widget, GdkFrameClock* clock, gpointer data) {
        auto* self = static_cast<Waveform*>(data);
        const double t = std::min(1.0, (gdk_frame_clock_get_frame_time(clock) - self->start_) / (easeSeconds * 1e6));
        const double eased = 1 - std::pow(1 - std::max(t, 0.0), 3);
        for (std::size_t i = 0; i < self->shown_.size(); ++i)
            self->shown_[i] = self->from_[i] + (self->to_[i] - self->from_[i]) * eased;
        gtk_widget_queue_draw(widget);
        if (t < 1) return G_SOURCE_CONTINUE;
        self->tick_ = 0;
        return G_SOURCE_REMOVE;
    }

    static gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
        auto* self = static_cast<Waveform*>(data);
        const double width = View::waveformBars * (barWidth + gap) - gap;
        const double left = (gtk_widget_get_allocated_width(widget) - width) / 2;
        const double middle = gtk_widget_get_allocated_height(widget) / 2.0;
        const double r = barWidth / 2;
        cairo_set_source_rgb(cr, 0.898, 0.220, 0.231);
        for (std::size_t i = 0; i < self->shown_.size(); ++i) {
            const double x = left + i * (barWidth + gap), h = std::max(self->shown_[i], barWidth);
            const double top = middle - h / 2, bottom = middle + h / 2;
            cairo_new_sub_path(cr);
            cairo_arc(cr, x + r, top + r, r, M_PI, 2 * M_PI);
            cairo_arc(cr, x + r, bottom - r, r, 0, M_PI);
            cairo_close_path(cr);
        }
        cairo_fill(cr);
        return FALSE;
    }

    GtkWidget* area_;
    std::array<double, View::waveformBars> from_{}, to_{}, shown_{};
    gint64 start_ = 0;
    guint tick_ = 0;
};

}  // namespace

// ---- the widgets -----------------------------------------------------------------------------

struct GtkPanel::Widgets {
    struct Banner {
        GtkWidget *box, *text;
    };
    struct Row {
        GtkWidget *box, *symbol, *label, *button;
    };
    struct Big {
        GtkWidget *button, *image, *label;
    };
    struct Meter {
        GtkWidget* box;
        std::unique_ptr<Waveform> waveform;
        GtkWidget* time;
    };

    GtkWidget* body;
    GtkWidget *symbol, *subtitle, *collapse, *collapseImage;
    GtkWidget *loginItem, *signOut;
    GtkWidget *revealer, *strip;
    // expanded
    GtkWidget* checklist;
    std::array<Row, 4> rows;
    GtkWidget* notes;
    std::array<GtkWidget*, 2> noteLabels;
    Big dictate, fill;
    Meter meter;
    GtkWidget *spinner, *statusText, *undo;
    Banner banner;
    GtkWidget *card, *cardText, *fillLine, *footer, *delivery;
    // collapsed
    Banner stripBanner;
    Meter stripMeter;
    GtkWidget *stripRecording, *stripStop, *stripStopLabel, *stripBusy, *stripSpinner, *stripBusyText;
};

GtkPanel::GtkPanel(Services services)
    : view_({services.controller, services.actions, services.settings, services.clipboard, services.clearSession}),
      window_(panel::FloatingPanel::width, panel::FloatingPanel::height),
      widgets_(std::make_unique<Widgets>()) {
    static bool styled = [] {
        GtkCssProvider* provider = gtk_css_provider_new();
        gtk_css_provider_load_from_data(provider, css, -1, nullptr);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        g_object_unref(provider);
        return true;
    }();
    (void)styled;
    build();
    if (services.webView) {
        g_object_ref(services.webView);
        // The one web view keeps its page and session wherever it was shown before.
        if (GtkWidget* parent = gtk_widget_get_parent(services.webView))
            gtk_container_remove(GTK_CONTAINER(parent), services.webView);
        pack(widgets_->body, services.webView, true);
        g_signal_connect(services.webView, "button-press-event",
                         G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer data) -> gboolean {
                             static_cast<GtkPanelWindow*>(data)->allowTyping(event->time);
                             return FALSE;
                         }),
                         &window_);
        webView_ = services.webView;
    }
    gtk_widget_show_all(widgets_->body);
    redraw();
    subscription_ = view_.controller()->subscribe([this] { scheduleRedraw(); });
}

GtkPanel::~GtkPanel() {
    subscription_.cancel();
    if (pendingRedraw_) g_source_remove(pendingRedraw_);
    if (webView_) {
        // The web view is shared and outlives the panel.
        g_signal_handlers_disconnect_by_data(webView_, &window_);
        gtk_container_remove(GTK_CONTAINER(widgets_->body), webView_);
        g_object_unref(webView_);
    }
    gtk_widget_destroy(widgets_->body);
}

void GtkPanel::scheduleRedraw() {
    // The change is announced before it is stored: draw on the next turn, once
    // for every change of this turn, and before GTK lays out and paints.
    if (pendingRedraw_) return;
    pendingRedraw_ = g_idle_add_full(
        G_PRIORITY_HIGH_IDLE,
        +[](gpointer data) -> gboolean {
            auto* self = static_cast<GtkPanel*>(data);
            self->pendingRedraw_ = 0;
            self->redraw();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
}

void GtkPanel::build() {
    auto& w = *widgets_;
    w.body = box(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window_.window()), w.body);

    // Header: symbol, title, subtitle, collapse button, gear menu.
    GtkWidget* header = box(GTK_ORIENTATION_HORIZONTAL, 6);
    g_object_set(header, "margin", 10, nullptr);
    w.symbol = image("mic", GTK_ICON_SIZE_LARGE_TOOLBAR);
    w.subtitle = label("", "vell-dim");
    gtk_label_set_ellipsize(GTK_LABEL(w.subtitle), PANGO_ELLIPSIZE_END);
    gtk_label_set_max_width_chars(GTK_LABEL(w.subtitle), 1);
    w.collapseImage = image("chevron.up");
    w.collapse = button(w.collapseImage, "Collapse", [this] {
        view_.toggleCollapsed();
        redraw();
    });
    gtk_button_set_relief(GTK_BUTTON(w.collapse), GTK_RELIEF_NONE);

    GtkWidget* menu = gtk_menu_new();
    w.loginItem = gtk_check_menu_item_new_with_label("Start at login");
    on(w.loginItem, "toggled", [this] {
        if (!drawing_) view_.setLaunchAtLogin(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(widgets_->loginItem)));
    });
    GtkWidget* web = gtk_menu_item_new_with_label("Open Vell on the web");
    on(web, "activate", [this] { view_.openWebApp(); });
    w.signOut = gtk_menu_item_new_with_label("Sign out");
    on(w.signOut, "activate", [this] { view_.signOut(); });
    GtkWidget* quit = gtk_menu_item_new_with_label("Quit Vell");
    on(quit, "activate", [this] { view_.quit(); });
    for (GtkWidget* item : {w.loginItem, web, w.signOut, gtk_separator_menu_item_new(), quit})
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_show_all(menu);
    GtkWidget* gear = gtk_menu_button_new();
    gtk_button_set_image(GTK_BUTTON(gear), image("gearshape"));
    gtk_button_set_relief(GTK_BUTTON(gear), GTK_RELIEF_NONE);
    gtk_widget_set_can_focus(gear, FALSE);
    gtk_widget_set_focus_on_click(gear, FALSE);
    gtk_menu_button_set_popup(GTK_MENU_BUTTON(gear), menu);
    setName(gear, "Menu");

    pack(header, w.symbol);
    pack(header, label("Vell", "vell-title"));
    pack(header, w.subtitle, true);
    pack(header, w.collapse);
    pack(header, gear);
    pack(w.body, header);
    pack(w.body, gtk_separator_new(GTK_ORIENTATION_HORIZONTAL));

    auto makeBanner = [this](Widgets::Banner& banner) {
        banner.box = box(GTK_ORIENTATION_HORIZONTAL, 6);
        addClass(banner.box, "vell-banner");
        GtkWidget* symbol = image("exclamationmark.triangle.fill");
        addClass(symbol, "vell-orange");
        banner.text = wrapping(label(""));
        pack(banner.box, symbol);
        pack(banner.box, banner.text, true);
        pack(banner.box, symbolButton("xmark", "Close problem", [this] { view_.closeProblem(); }));
    };
    auto makeMeter = [](Widgets::Meter& meter) {
        meter.box = box(GTK_ORIENTATION_HORIZONTAL, 8);
        meter.waveform = std::make_unique<Waveform>();
        meter.time = label("0:00", "vell-time");
        pack(meter.box, meter.waveform->widget());
        pack(meter.box, meter.time);
    };

    // Expanded controls.
    GtkWidget* expanded = box(GTK_ORIENTATION_VERTICAL, 10);
    g_object_set(expanded, "margin", 12, nullptr);

    w.checklist = box(GTK_ORIENTATION_VERTICAL, 6);
    pack(w.checklist, label("SET UP", "vell-heading"));
    for (std::size_t i = 0; i < w.rows.size(); ++i) {
        auto& row = w.rows[i];
        const auto which = static_cast<View::Row>(i);
        row.box = box(GTK_ORIENTATION_HORIZONTAL, 8);
        row.symbol = image("circle");
        row.label = wrapping(label(""));
        row.button = textButton("", [this, which] { view_.pressRowButton(which); });
        pack(row.box, row.symbol);
        pack(row.box, row.label, true);
        pack(row.box, row.button);
        pack(w.checklist, row.box);
    }
    w.notes = box(GTK_ORIENTATION_VERTICAL, 4);
    for (auto& note : w.noteLabels) pack(w.notes, note = wrapping(label("", "vell-faint")));
    pack(w.checklist, w.notes);
    pack(expanded, w.checklist);

    GtkWidget* bigRow = box(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_set_homogeneous(GTK_BOX(bigRow), TRUE);
    auto makeBig = [&](Widgets::Big& big, std::function<void()> press) {
        GtkWidget* content = box(GTK_ORIENTATION_VERTICAL, 4);
        big.image = image("mic.fill", GTK_ICON_SIZE_LARGE_TOOLBAR);
        big.label = gtk_label_new("");
        pack(content, big.image);
        pack(content, big.label);
        big.button = button(content, "", std::move(press));
        addClass(big.button, "vell-big");
        pack(bigRow, big.button, true);
    };
    makeBig(w.dictate, [this] { view_.pressDictate(); });
    makeBig(w.fill, [this] { view_.pressFill(); });
    pack(expanded, bigRow);

    GtkWidget* status = box(GTK_ORIENTATION_HORIZONTAL, 8);
    makeMeter(w.meter);
    w.spinner = gtk_spinner_new();
    w.statusText = wrapping(label("", "vell-faint"));
    pack(status, w.meter.box);
    pack(status, w.spinner);
    pack(status, w.statusText, true);
    pack(expanded, status);

    GtkWidget* undoContent = box(GTK_ORIENTATION_HORIZONTAL, 6);
    pack(undoContent, image("arrow.uturn.backward"));
    pack(undoContent, gtk_label_new("Undo last fill"));
    w.undo = button(undoContent, "Undo last fill", [this] { view_.pressUndo(); });
    addClass(w.undo, "vell-undo");
    gtk_button_set_relief(GTK_BUTTON(w.undo), GTK_RELIEF_NONE);
    gtk_widget_set_halign(w.undo, GTK_ALIGN_START);
    pack(expanded, w.undo);

    makeBanner(w.banner);
    pack(expanded, w.banner.box);

    w.card = box(GTK_ORIENTATION_VERTICAL, 6);
    addClass(w.card, "vell-card");
    w.cardText = wrapping(label(""));
    gtk_label_set_lines(GTK_LABEL(w.cardText), 3);
    gtk_label_set_ellipsize(GTK_LABEL(w.cardText), PANGO_ELLIPSIZE_END);
    gtk_label_set_selectable(GTK_LABEL(w.cardText), TRUE);
    gtk_widget_set_can_focus(w.cardText, FALSE);
    w.fillLine = wrapping(label("", "vell-orange"));
    w.footer = box(GTK_ORIENTATION_HORIZONTAL, 6);
    w.delivery = label("", "vell-faint");
    pack(w.footer, w.delivery, true);
    pack(w.footer, textButton("Insert", [this] { view_.insertLatest(); }));
    pack(w.footer, textButton("Copy", [this] { view_.copyLatest(); }));
    pack(w.footer, symbolButton("xmark", "Dismiss", [this] { view_.dismissLatest(); }));
    pack(w.card, w.cardText);
    pack(w.card, w.fillLine);
    pack(w.card, w.footer);
    pack(expanded, w.card);

    w.revealer = gtk_revealer_new();
    gtk_revealer_set_transition_type(GTK_REVEALER(w.revealer), GTK_REVEALER_TRANSITION_TYPE_SLIDE_DOWN);
    gtk_revealer_set_transition_duration(GTK_REVEALER(w.revealer), 180);
    gtk_container_add(GTK_CONTAINER(w.revealer), expanded);
    pack(w.body, w.revealer);

    // Collapsed strip.
    w.strip = box(GTK_ORIENTATION_VERTICAL, 8);
    g_object_set(w.strip, "margin", 12, nullptr);
    makeBanner(w.stripBanner);
    pack(w.strip, w.stripBanner.box);
    w.stripRecording = box(GTK_ORIENTATION_HORIZONTAL, 8);
    makeMeter(w.stripMeter);
    pack(w.stripRecording, w.stripMeter.box, true);
    GtkWidget* stopContent = box(GTK_ORIENTATION_HORIZONTAL, 6);
    w.stripStopLabel = gtk_label_new("");
    pack(stopContent, image("stop.fill"));
    pack(stopContent, w.stripStopLabel);
    w.stripStop = button(stopContent, "", [this] { view_.pressStripStop(); });
    addClass(w.stripStop, "vell-stop");
    pack(w.stripRecording, w.stripStop);
    pack(w.strip, w.stripRecording);
    w.stripBusy = box(GTK_ORIENTATION_HORIZONTAL, 8);
    w.stripSpinner = gtk_spinner_new();
    w.stripBusyText = label("", "vell-faint");
    pack(w.stripBusy, w.stripSpinner);
    pack(w.stripBusy, w.stripBusyText, true);
    pack(w.strip, w.stripBusy);
    pack(w.body, w.strip);

    pack(w.body, gtk_separator_new(GTK_ORIENTATION_HORIZONTAL));
}

// ---- drawing the model -----------------------------------------------------------------------

namespace {

void showIf(GtkWidget* widget, bool shown) { gtk_widget_set_visible(widget, shown); }

void spin(GtkWidget* spinner, bool on) {
    showIf(spinner, on);
    gboolean active = FALSE;
    g_object_get(spinner, "active", &active, nullptr);
    if (bool(active) != on) on ? gtk_spinner_start(GTK_SPINNER(spinner)) : gtk_spinner_stop(GTK_SPINNER(spinner));
}

}  // namespace

void GtkPanel::redraw() {
    const View::Model model = view_.model();
    auto& w = *widgets_;
    drawing_ = true;
    ++redraws_;

    setIcon(w.symbol, model.header.symbol);
    setText(w.subtitle, model.header.subtitle);
    setIcon(w.collapseImage, model.header.collapseSymbol);
    setTooltip(w.collapse, model.header.collapseTooltip);
    setName(w.collapse, model.header.collapseTooltip);
    if (bool(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w.loginItem))) != model.menu.launchAtLogin)
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(w.loginItem), model.menu.launchAtLogin);
    showIf(w.signOut, model.menu.signOutShown);

    auto drawBanner = [](const Widgets::Banner& banner, const std::optional<std::string>& problem) {
        showIf(banner.box, problem.has_value());
        if (problem) setText(banner.text, *problem);
    };
    auto drawMeter = [](const Widgets::Meter& meter, const std::optional<View::Meter>& shown) {
        showIf(meter.box, shown.has_value());
        if (!shown) return;
        meter.waveform->set(shown->bars);
        setText(meter.time, shown->time);
    };

    gtk_revealer_set_reveal_child(GTK_REVEALER(w.revealer), model.expanded.has_value());
    if (model.expanded) {
        const auto& e = *model.expanded;
        showIf(w.checklist, e.checklist.has_value());
        if (e.checklist) {
            for (std::size_t i = 0; i < w.rows.size(); ++i) {
                const auto& row = e.checklist->rows[i];
                setIcon(w.rows[i].symbol, row.done ? "checkmark.circle.fill" : "circle");
                setClass(w.rows[i].symbol, "vell-done", row.done);
                setText(w.rows[i].label, row.label);
                setClass(w.rows[i].label, "vell-dim", row.done);
                showIf(w.rows[i].button, row.button.has_value());
                if (row.button) {
                    if (g_strcmp0(gtk_button_get_label(GTK_BUTTON(w.rows[i].button)), row.button->c_str()) != 0)
                        gtk_button_set_label(GTK_BUTTON(w.rows[i].button), row.button->c_str());
                    setName(w.rows[i].button, *row.button);
                }
            }
            showIf(w.notes, !e.checklist->notes.empty());
            for (std::size_t i = 0; i < e.checklist->notes.size() && i < w.noteLabels.size(); ++i)
                setText(w.noteLabels[i], e.checklist->notes[i]);
        }
        for (auto [big, shown] : {std::pair{&w.dictate, &e.dictate}, std::pair{&w.fill, &e.fill}}) {
            setIcon(big->image, shown->symbol);
            setText(big->label, shown->title);
            setName(big->button, shown->title);
            setClass(big->button, "vell-active", shown->active);
            gtk_widget_set_sensitive(big->button, shown->enabled);
        }
        drawMeter(w.meter, e.status.meter);
        spin(w.spinner, e.status.spinner);
        showIf(w.statusText, !e.status.meter);
        setText(w.statusText, e.status.text);
        setClass(w.statusText, "vell-faint", !e.status.spinner);
        showIf(w.undo, e.undoShown);
        drawBanner(w.banner, e.problem);
        showIf(w.card, e.latest.has_value());
        if (e.latest) {
            setText(w.cardText, e.latest->text);
            showIf(w.fillLine, e.latest->fillLine.has_value());
            showIf(w.footer, e.latest->deliveryNote.has_value());
            setText(w.fillLine, e.latest->fillLine.value_or(""));
            setText(w.delivery, e.latest->deliveryNote.value_or(""));
        }
    }

    showIf(w.strip, model.strip && !model.strip->empty());
    if (model.strip) {
        const auto& s = *model.strip;
        drawBanner(w.stripBanner, s.problem);
        showIf(w.stripRecording, s.meter.has_value());
        drawMeter(w.stripMeter, s.meter);
        if (s.stopTitle) {
            setText(w.stripStopLabel, *s.stopTitle);
            setName(w.stripStop, *s.stopTitle);
        }
        showIf(w.stripBusy, s.busyText.has_value());
        spin(w.stripSpinner, s.busyText.has_value());
        setText(w.stripBusyText, s.busyText.value_or(""));
    }
    drawing_ = false;
}

}  // namespace vell::platform
