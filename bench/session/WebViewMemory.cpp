// Resident memory of the program (the UI process) and of WebKit's web and
// network processes after the panel's web view has loaded its start page.
// Prints one line per process; run it inside a display, e.g.
//   scripts/headless-session.sh build/bin/session_web_view_memory
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchLine.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/WebKitWebView.h"
#include "session/PanelWebView.h"
#include "support/ChildProcesses.h"
#include "support/LoopbackServer.h"

namespace {

long field(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return 0;
}
long residentKiB(int pid) { return field("/proc/" + std::to_string(pid) + "/status", "VmRSS:"); }
// The proportional share: shared library pages divided among their users.
long proportionalKiB(int pid) { return field("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:"); }

// A start page of the size of a small web application.
std::string startPage() {
    std::string page =
        "<!doctype html><title>Vell</title><style>body{font:14px sans-serif}</style><script>"
        "window.__vellBridge={token:async()=>null,email:async()=>null,adopt:async()=>false};</script>";
    for (int i = 0; i < 200; ++i) page += "<p>Note " + std::to_string(i) + ": a line of text in the panel.</p>";
    return page;
}

}  // namespace

int main() {
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "no display\n");
        return 2;
    }
    const long before = residentKiB(::getpid());
    vell::test::LoopbackServer server;
    server.page("/app", startPage());
    vell::platform::GlibMainLoop loop;

    char scratch[] = "/tmp/vell-web-memory.XXXXXX";
    std::filesystem::path data = ::mkdtemp(scratch);
    auto view = std::make_unique<vell::platform::WebKitWebView>(
        vell::platform::WebKitWebView::Options{data / "WebKit", data / "cache", false});
    auto* raw = view.get();
    const double started = loop.now();
    auto panel = vell::session::PanelWebView::create(loop, std::move(view), {server.baseURL(), ""}, {});
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 380, 560);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(raw->nativeView()));
    gtk_widget_show_all(window);

    const std::string start = server.baseURL() + "/app";
    if (!loop.runUntil([&] { return !raw->isLoading() && raw->currentURL() == start; }, 60)) {
        std::fprintf(stderr, "the start page did not load\n");
        return 1;
    }
    const double loaded = loop.now() - started;
    loop.runFor(3.0);  // let the processes settle

    std::fprintf(stderr, "start page loaded in %.0f ms\n", loaded * 1000);
    std::fprintf(stderr, "%-24s %8s %10s %10s\n", "process", "pid", "RSS (MiB)", "PSS (MiB)");
    const int self = ::getpid();
    std::fprintf(stderr, "%-24s %8d %10.1f %10.1f   (RSS %.1f MiB before the web view)\n", "UI (this program)", self,
                 residentKiB(self) / 1024.0, proportionalKiB(self) / 1024.0, before / 1024.0);
    long total = residentKiB(self), totalProportional = proportionalKiB(self);
    for (const auto& child : vell::test::childProcesses()) {
        long resident = residentKiB(child.pid), proportional = proportionalKiB(child.pid);
        std::fprintf(stderr, "%-24s %8d %10.1f %10.1f\n", child.name.c_str(), child.pid, resident / 1024.0,
                     proportional / 1024.0);
        total += resident;
        totalProportional += proportional;
    }
    std::fprintf(stderr, "%-24s %8s %10.1f %10.1f\n", "total", "", total / 1024.0, totalProportional / 1024.0);

    vell::bench::printLine("webview.start_page_load", {loaded * 1000}, "ms");
    vell::bench::printLine("webview.pss.all", {totalProportional / 1024.0}, "MiB");

    panel.reset();
    gtk_widget_destroy(window);
    loop.runUntil([] { return vell::test::childProcesses().empty(); }, 20);
    std::filesystem::remove_all(data);
    return 0;
}
