#include "app/Application.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>

#include <cstdio>
#include <string>
#include <vector>

#include "app/Program.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11DisplayLoss.h"

namespace vell::app {
namespace {

struct Instance {
    Application* application;
    std::unique_ptr<Program>* program;
    GtkApplication* gtk;
};

}  // namespace

Application::Application() = default;
Application::~Application() = default;

int Application::run(int argc, char** argv) {
    // The command line travels to the running instance as it was typed: links
    // arrive as the raw bytes of each argument, never reparsed as files.
    platform::LinuxPlatform::prepareProcess();
    GtkApplication* gtk = gtk_application_new(applicationId, G_APPLICATION_HANDLES_COMMAND_LINE);
    Instance instance{this, &program_, gtk};

    g_signal_connect(
        gtk, "startup", G_CALLBACK(+[](GApplication* app, gpointer data) {
            auto& self = *static_cast<Instance*>(data);
            *self.program = std::make_unique<Program>(Program::standard(), [app] { g_application_quit(app); });
            (*self.program)->delegate().applicationDidFinishLaunching();
            // Without its display the toolkit ends the process on the spot; a take
            // being recorded or sent must not outlive it on disk.
            platform::X11DisplayLoss::whenLost([program = self.program->get()] { program->discardAllTakes(); });
            g_application_hold(app);  // no window of its own: the tray keeps it running
        }),
        &instance);
    g_signal_connect(gtk, "command-line",
                     G_CALLBACK(+[](GApplication*, GApplicationCommandLine* commandLine, gpointer data) -> int {
                         auto& self = *static_cast<Instance*>(data);
                         gchar** arguments = g_application_command_line_get_arguments(commandLine, nullptr);
                         std::vector<std::string> links;
                         for (gchar** argument = arguments && arguments[0] ? arguments + 1 : arguments;
                              argument && *argument; ++argument)
                             links.emplace_back(*argument);
                         g_strfreev(arguments);
                         // Handled once launch has finished, in the order given.
                         auto& program = **self.program;
                         program.platform.loop.post([&program, links] {
                             for (const auto& link : links) program.delegate().handleURL(link);
                         });
                         return 0;
                     }),
                     &instance);
    g_signal_connect(gtk, "shutdown", G_CALLBACK(+[](GApplication*, gpointer data) {
                         auto& self = *static_cast<Instance*>(data);
                         if (*self.program) (*self.program)->delegate().applicationWillTerminate();
                     }),
                     &instance);

    // Registering decides which instance this is; only the primary one starts
    // up (and needs a display), a remote one just forwards its command line.
    g_autoptr(GError) error = nullptr;
    if (!g_application_register(G_APPLICATION(gtk), nullptr, &error)) {
        std::fprintf(stderr, "vell: %s\n", error ? error->message : "cannot register the application");
        g_object_unref(gtk);
        return 1;
    }
    // Ctrl-C and a polite kill end it as the Quit item does.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        g_unix_signal_add(
            signal,
            +[](gpointer app) -> gboolean {
                g_application_quit(G_APPLICATION(app));
                return G_SOURCE_CONTINUE;
            },
            gtk);
    const int status = g_application_run(G_APPLICATION(gtk), argc, argv);
    platform::X11DisplayLoss::whenLost({});  // the program is going: nothing left to discard
    program_.reset();
    g_object_unref(gtk);
    return status;
}

}  // namespace vell::app
