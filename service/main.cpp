// vell-service [--port N] [--data-dir DIR] [--host ADDRESS] [--host-name NAME] [--access-ttl SECONDS]
// The local stand-in for the Vell web service.
#include "service/Service.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

std::filesystem::path defaultDataDir() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::filesystem::path(data) / "vell-service";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local/share/vell-service";
}

int usage(const char* problem) {
    std::fprintf(stderr,
                 "vell-service: %s\nusage: vell-service [--port N] [--data-dir DIR] [--host ADDRESS] "
                 "[--host-name NAME] [--access-ttl SECONDS]\n",
                 problem);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // SIGINT and SIGTERM are taken by one waiting thread (below), not by a
    // handler, so stopping the server happens outside signal context.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    vell::service::Service::Options options;
    options.dataDir = defaultDataDir();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage("the local stand-in for the Vell web service");
            return 0;
        }
        if (i + 1 >= argc) return usage(("missing value after " + arg).c_str());
        std::string value = argv[++i];
        try {
            if (arg == "--port") {
                size_t used = 0;
                options.port = std::stoi(value, &used);
                if (used != value.size() || options.port < 0 || options.port > 65535)
                    throw std::invalid_argument(value);
            } else if (arg == "--data-dir") {
                options.dataDir = value;
            } else if (arg == "--host") {
                options.host = value;
            } else if (arg == "--host-name") {  // another name the service is reached by, with its port
                options.hostNames.push_back(value);
            } else if (arg == "--access-ttl") {
                options.sessions.accessLifetime = std::stod(value);
                if (options.sessions.accessLifetime <= 0) throw std::invalid_argument(value);
            } else {
                return usage(("unknown option " + arg).c_str());
            }
        } catch (const std::exception&) {
            return usage(("bad value for " + arg + ": " + value).c_str());
        }
    }

    try {
        vell::service::Service service(options);
        if (auto first = service.createFirstAccount()) {
            std::cout << "vell-service: created the first account — e-mail " << first->email << ", password "
                      << first->password << " (shown only this once)" << std::endl;
        }
        if (!service.bind()) {
            std::fprintf(stderr, "vell-service: cannot listen on %s:%d\n", options.host.c_str(), options.port);
            return 1;
        }
        std::thread waiter([&service, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            service.stop();
        });
        std::fprintf(stderr, "vell-service: listening on http://%s:%d (data in %s)\n", options.host.c_str(),
                     service.port(), options.dataDir.c_str());
        std::cout << "vell-service: the web application is at http://" << options.host << ":" << service.port()
                  << "/app" << std::endl;
        std::thread warmUp([&service] {
            try {
                service.warmUp();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "vell-service: dictation will not work: %s\n", e.what());
            }
        });
        service.run();  // returns once the waiter has stopped the server
        waiter.join();
        warmUp.join();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vell-service: %s\n", e.what());
        return 1;
    }
    return 0;
}
