#include "platform/linux/SymbolIcons.h"

#include <gtk/gtk.h>

#include <map>
#include <system_error>

#include "platform/Folders.h"
#include "platform/Symbols.h"

namespace vell::platform {
namespace {

// The display's theme, with the program's own folder on its search path;
// null while there is no display.
GtkIconTheme* iconTheme() {
    GdkScreen* screen = gdk_screen_get_default();
    if (!screen) return nullptr;
    GtkIconTheme* theme = gtk_icon_theme_get_for_screen(screen);
    static bool searchPathAdded = false;
    if (!searchPathAdded) gtk_icon_theme_append_search_path(theme, ownIconDirectory().c_str());
    searchPathAdded = true;
    return theme;
}

}  // namespace

std::filesystem::path ownIconDirectory() {
    const auto exe = folders::executable();
    return exe.empty() ? std::filesystem::path("share/icons") : exe.parent_path().parent_path() / "share" / "icons";
}

std::string symbolIconName(std::string_view name) {
    const Symbol* symbol = findSymbol(name);
    if (!symbol) return {};
    const std::string themeIcon(symbol->themeIcon), ownIcon(symbol->ownIcon);
    if (GtkIconTheme* theme = iconTheme()) {
        // Each lookup in the theme may stat every icon folder; the answers
        // only change with the theme, which says so.
        static std::map<std::string, std::string, std::less<>> answers;
        static const bool forgetOnChange =
            g_signal_connect(theme, "changed", G_CALLBACK(+[](GtkIconTheme*, gpointer) { answers.clear(); }), nullptr);
        (void)forgetOnChange;
        if (auto known = answers.find(name); known != answers.end()) return known->second;
        std::string found = gtk_icon_theme_has_icon(theme, themeIcon.c_str()) ? themeIcon
                            : gtk_icon_theme_has_icon(theme, ownIcon.c_str()) ? ownIcon
                                                                              : std::string();
        answers.emplace(name, found);
        return found;
    }
    // Without a display only the program's own files can be checked.
    std::error_code error;
    const auto file = ownIconDirectory() / "hicolor" / "scalable" / "actions" / (ownIcon + ".svg");
    return std::filesystem::exists(file, error) ? ownIcon : std::string();
}

}  // namespace vell::platform
