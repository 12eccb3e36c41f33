// A GTK3 form run in its own process for the fill tests. It prints "ready"
// once its window is shown, and answers each line "values" on standard input
// with one line of JSON: every input's name and current text.
//
//   vell_fill_form_fixture              the sample form
//   vell_fill_form_fixture --generated N  a window of about N accessible
//                                        elements (rows of caption + entry
//                                        inside nested boxes), for benchmarks

#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Input {
    std::string name;
    GtkWidget* widget;
};
std::vector<Input> inputs;

GtkWidget* track(const char* name, GtkWidget* widget) {
    inputs.push_back({name, widget});
    return widget;
}

std::string textOf(GtkWidget* widget) {
    if (GTK_IS_ENTRY(widget)) return gtk_entry_get_text(GTK_ENTRY(widget));
    if (GTK_IS_COMBO_BOX(widget)) {
        GtkWidget* entry = gtk_bin_get_child(GTK_BIN(widget));
        return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "";
    }
    if (GTK_IS_TEXT_VIEW(widget)) {
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
        std::string result(text);
        g_free(text);
        return result;
    }
    return "";
}

void printValues() {
    nlohmann::json values = nlohmann::json::object();
    for (const auto& input : inputs) values[input.name] = textOf(input.widget);
    std::fputs((values.dump() + "\n").c_str(), stdout);
    std::fflush(stdout);
}

gboolean onCommand(GIOChannel* channel, GIOCondition condition, gpointer) {
    if (condition & (G_IO_HUP | G_IO_ERR)) {
        gtk_main_quit();
        return FALSE;
    }
    gchar* line = nullptr;
    gsize length = 0;
    if (g_io_channel_read_line(channel, &line, &length, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        g_free(line);
        gtk_main_quit();
        return FALSE;
    }
    if (line && std::strncmp(line, "values", 6) == 0) printValues();
    g_free(line);
    return TRUE;
}

GtkWidget* labelFor(const char* mnemonic, GtkWidget* widget) {
    GtkWidget* label = gtk_label_new_with_mnemonic(mnemonic);
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), widget);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    return label;
}

GtkWidget* entryWith(const char* text) {
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), text);
    return entry;
}

void buildSampleForm(GtkWidget* window) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_add(GTK_CONTAINER(window), box);
    auto add = [&](GtkWidget* w) { gtk_box_pack_start(GTK_BOX(box), w, FALSE, FALSE, 0); };

    GtkWidget* name = track("name", entryWith(""));
    add(labelFor("_Full name", name));
    add(name);

    GtkWidget* email = track("email", entryWith("old@example.com"));
    add(labelFor("_Email", email));
    add(email);

    GtkWidget* password = track("password", entryWith("hunter2"));
    gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
    add(labelFor("_Password", password));
    add(password);

    GtkWidget* notes = track("notes", gtk_text_view_new());
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(notes)), "first line\nsecond line", -1);
    gtk_widget_set_size_request(notes, 300, 60);
    add(labelFor("_Notes", notes));
    add(notes);

    GtkWidget* city = track("city", gtk_combo_box_text_new_with_entry());
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(city), "Paris");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(city), "Lyon");
    gtk_combo_box_set_active(GTK_COMBO_BOX(city), 1);  // its accessible name is now "Lyon"
    add(labelFor("_City", city));
    add(city);

    // A caption that is only a sibling: no label relation.
    GtkWidget* company = gtk_label_new("Company");
    gtk_widget_set_halign(company, GTK_ALIGN_START);
    add(company);
    add(track("company", entryWith("")));

    GtkWidget* phone = track("phone", entryWith(""));
    gtk_entry_set_placeholder_text(GTK_ENTRY(phone), "Phone number");
    add(phone);

    GtkWidget* reference = track("reference", entryWith("R-1"));
    gtk_editable_set_editable(GTK_EDITABLE(reference), FALSE);
    add(labelFor("_Reference", reference));
    add(reference);

    // Rows of caption + input in a grid, captions only by position.
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 8);
    const char* rows[][2] = {{"Street", "street"}, {"Zip code", "zip"}, {"Country", "country"}};
    for (int row = 0; row < 3; ++row) {
        GtkWidget* caption = gtk_label_new(rows[row][0]);
        gtk_widget_set_halign(caption, GTK_ALIGN_START);
        gtk_grid_attach(GTK_GRID(grid), caption, 0, row, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), track(rows[row][1], entryWith("")), 1, row, 1, 1);
    }
    add(grid);

    // Inputs that must never be written: a disabled one, a PIN whose tooltip
    // is no caption, a card number captioned only by the label before it.
    GtkWidget* member = track("member", entryWith("M-7"));
    gtk_widget_set_sensitive(member, FALSE);
    add(labelFor("_Member number", member));
    add(member);

    GtkWidget* pin = track("pin", entryWith("1234"));
    gtk_widget_set_tooltip_text(pin, "Four digits");
    add(labelFor("P_IN", pin));
    add(pin);

    GtkWidget* card = gtk_label_new("Card number");
    gtk_widget_set_halign(card, GTK_ALIGN_START);
    add(card);
    add(track("card", entryWith("4111")));

    // A tooltip is help: the caption comes first.
    GtkWidget* nickname = track("nickname", entryWith(""));
    gtk_widget_set_tooltip_text(nickname, "What friends call you");
    add(labelFor("Nic_kname", nickname));
    add(nickname);
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
    int rows = 0;
    while (made < elements) {
        GtkWidget* section = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_box_pack_start(GTK_BOX(outer), section, FALSE, FALSE, 0);
        ++made;
        for (int row = 0; row < 20 && made < elements; ++row, ++rows) {
            GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
            const std::string caption = "Item " + std::to_string(rows);
            gtk_box_pack_start(GTK_BOX(line), gtk_label_new(caption.c_str()), FALSE, FALSE, 0);
            GtkWidget* second = rows % 50 == 25 ? gtk_entry_new() : gtk_label_new("detail");
            gtk_box_pack_start(GTK_BOX(line), second, FALSE, FALSE, 0);
            gtk_box_pack_start(GTK_BOX(section), line, FALSE, FALSE, 0);
            made += 3;
        }
    }
}

gboolean announceReady(gpointer) {
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Sample form");
    gtk_window_set_default_size(GTK_WINDOW(window), 500, 700);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    if (argc >= 3 && std::strcmp(argv[1], "--generated") == 0)
        buildGenerated(window, std::atoi(argv[2]));
    else
        buildSampleForm(window);

    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));

    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand, nullptr);
    g_timeout_add(200, announceReady, nullptr);
    gtk_main();
    return 0;
}
