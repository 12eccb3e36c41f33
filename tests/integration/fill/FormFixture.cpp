// A GTK3 window in its own process, the target of fills and pastes. It prints
// "ready" once it has the keyboard focus and answers each line "values" with one
// line of JSON: every input's name and current text. Modes: --form, the sample
// form; --slow MS, the form in a program that handles each wake-up MS late;
// --entry, one entry ("entry") to paste into; --generated N, a window of about N
// accessible elements (rows of caption + entry in nested boxes) for benchmarks.

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace {

std::map<std::string, GtkWidget*> inputs;

std::string textOf(GtkWidget* widget) {
    if (GTK_IS_COMBO_BOX(widget)) widget = gtk_bin_get_child(GTK_BIN(widget));
    if (GTK_IS_ENTRY(widget)) return gtk_entry_get_text(GTK_ENTRY(widget));
    g_autofree gchar* text = nullptr;
    g_object_get(gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget)), "text", &text, nullptr);
    return text;
}

gboolean onCommand(GIOChannel* channel, GIOCondition, gpointer) {
    gchar* line = nullptr;
    if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        gtk_main_quit();  // the test has gone
        return FALSE;
    }
    if (g_str_has_prefix(line, "values")) {
        nlohmann::json values = nlohmann::json::object();
        for (const auto& [name, widget] : inputs) values[name] = textOf(widget);
        std::printf("%s\n", values.dump().c_str());
        std::fflush(stdout);
    }
    g_free(line);
    return TRUE;
}

GtkWidget* entry(const char* text, void (*adjust)(GtkEntry*) = nullptr) {
    GtkWidget* widget = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(widget), text);
    if (adjust) adjust(GTK_ENTRY(widget));
    return widget;
}

GtkWidget* caption(const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    return label;
}

// Inputs with a caption tied to them (a mnemonic label), one only placed
// before them, or none. Never to be written: the password, the read-only
// reference, the disabled member number, a PIN whose tooltip is no caption, a
// card number captioned only by position. A tooltip is help: a caption comes first.
void buildSampleForm(GtkWidget* window) {
    GtkWidget* notes = gtk_text_view_new();
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(notes)), "first line\nsecond line", -1);
    gtk_widget_set_size_request(notes, 300, 60);
    GtkWidget* city = gtk_combo_box_text_new_with_entry();
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(city), "Paris");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(city), "Lyon");
    gtk_combo_box_set_active(GTK_COMBO_BOX(city), 1);  // its accessible name is now "Lyon"

    struct Row {
        const char* name;
        const char* caption;  // with a mnemonic: a label tied to the input
        GtkWidget* input;
    };
    const Row rows[] = {
        {"name", "_Full name", entry("")},
        {"email", "_Email", entry("old@example.com")},
        {"password", "_Password", entry("hunter2", [](GtkEntry* e) { gtk_entry_set_visibility(e, FALSE); })},
        {"notes", "_Notes", notes},
        {"city", "_City", city},
        {"company", "Company", entry("")},
        {"phone", nullptr, entry("", [](GtkEntry* e) { gtk_entry_set_placeholder_text(e, "Phone number"); })},
        {"reference", "_Reference", entry("R-1", [](GtkEntry* e) { gtk_editable_set_editable(GTK_EDITABLE(e), 0); })},
        {"member", "_Member number", entry("M-7", [](GtkEntry* e) { gtk_widget_set_sensitive(GTK_WIDGET(e), 0); })},
        {"pin", "P_IN", entry("1234", [](GtkEntry* e) { gtk_widget_set_tooltip_text(GTK_WIDGET(e), "Four digits"); })},
        {"card", "Card number", entry("4111")},
        {"nickname", "Nic_kname",
         entry("", [](GtkEntry* e) { gtk_widget_set_tooltip_text(GTK_WIDGET(e), "What friends call you"); })},
    };
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_add(GTK_CONTAINER(window), box);
    for (const auto& row : rows) {
        if (row.caption) {
            GtkWidget* label = caption(row.caption);
            if (std::strchr(row.caption, '_')) {
                gtk_label_set_text_with_mnemonic(GTK_LABEL(label), row.caption);
                gtk_label_set_mnemonic_widget(GTK_LABEL(label), row.input);
            }
            gtk_container_add(GTK_CONTAINER(box), label);
        }
        gtk_container_add(GTK_CONTAINER(box), row.input);
        inputs[row.name] = row.input;
    }
    // Rows of caption + input in a grid, one level down, captions only by position.
    GtkWidget* grid = gtk_grid_new();
    const char* cells[][2] = {{"Street", "street"}, {"Zip code", "zip"}, {"Country", "country"}};
    for (int row = 0; row < 3; ++row) {
        gtk_grid_attach(GTK_GRID(grid), caption(cells[row][0]), 0, row, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), inputs[cells[row][1]] = entry(""), 1, row, 1, 1);
    }
    gtk_container_add(GTK_CONTAINER(box), grid);
}

// About `elements` accessible elements, mostly text as in a long page: rows
// of two captions inside sections, with an entry instead of the second
// caption in every 50th row (so a 40-field walk still visits the whole tree).
void buildGenerated(GtkWidget* window, int elements) {
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(window), scroller);
    GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(scroller), outer);
    int made = 4;  // window, scroller, viewport, outer box
    for (int rows = 0; made < elements;) {
        GtkWidget* section = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_container_add(GTK_CONTAINER(outer), section);
        ++made;
        for (int row = 0; row < 20 && made < elements; ++row, ++rows, made += 3) {
            GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
            gtk_container_add(GTK_CONTAINER(line), gtk_label_new(("Item " + std::to_string(rows)).c_str()));
            gtk_container_add(GTK_CONTAINER(line), rows % 50 == 25 ? gtk_entry_new() : gtk_label_new("detail"));
            gtk_container_add(GTK_CONTAINER(section), line);
        }
    }
}

// Every accessibility request (anything but the display and standard input)
// reaches the program's loop `delayMs` later.
void slowDown(int delayMs) {
    static const gulong delay = static_cast<gulong>(delayMs) * 1000;
    static const GPollFunc poll = g_main_context_get_poll_func(nullptr);
    static const int display = ConnectionNumber(gdk_x11_display_get_xdisplay(gdk_display_get_default()));
    g_main_context_set_poll_func(nullptr, [](GPollFD* fds, guint count, gint timeout) {
        const gint ready = poll(fds, count, timeout);
        for (guint i = 0; ready > 0 && i < count; ++i)
            if (fds[i].revents && fds[i].fd != display && fds[i].fd != 0) {
                g_usleep(delay);
                break;
            }
        return ready;
    });
}

void onFocus(GtkWindow* window, GParamSpec*, gpointer) {
    static bool announced = false;
    if (!gtk_window_has_toplevel_focus(window) || std::exchange(announced, true)) return;
    std::printf("ready\n");
    std::fflush(stdout);
}

gboolean onMapped(GtkWidget* window, GdkEvent*, gpointer) {
    // Without a window manager nobody gives the new window the focus.
    GdkWindow* gdkWindow = gtk_widget_get_window(window);
    GdkDisplay* display = gdk_window_get_display(gdkWindow);
    gdk_x11_display_error_trap_push(display);
    XSetInputFocus(gdk_x11_display_get_xdisplay(display), gdk_x11_window_get_xid(gdkWindow), RevertToParent,
                   CurrentTime);
    gdk_x11_display_error_trap_pop_ignored(display);
    return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    gtk_init(&argc, &argv);
    const std::string mode = argc >= 2 ? argv[1] : "--form";
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 500, mode == "--entry" ? 60 : 700);
    if (mode == "--entry") {
        gtk_window_set_title(GTK_WINDOW(window), "Paste target");
        gtk_container_add(GTK_CONTAINER(window), inputs["entry"] = gtk_entry_new());
    } else if (mode == "--generated" && argc >= 3) {
        gtk_window_set_title(GTK_WINDOW(window), "Long page");
        buildGenerated(window, std::atoi(argv[2]));
    } else {
        gtk_window_set_title(GTK_WINDOW(window), "Sample form");
        buildSampleForm(window);
        if (mode == "--slow" && argc >= 3) slowDown(std::atoi(argv[2]));
    }
    g_signal_connect(window, "notify::has-toplevel-focus", G_CALLBACK(onFocus), nullptr);
    g_signal_connect(window, "map-event", G_CALLBACK(onMapped), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    if (mode == "--entry") gtk_widget_grab_focus(inputs["entry"]);
    gtk_window_present(GTK_WINDOW(window));

    g_io_add_watch(g_io_channel_unix_new(0), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand,
                   nullptr);
    gtk_main();
    return 0;
}
