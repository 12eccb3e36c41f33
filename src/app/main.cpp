// Entry point: the self test when asked for, otherwise the desktop application.

#include <iostream>
#include <span>

#include "app/Application.h"
#include "app/Launch.h"
#include "app/SelfTest.h"

int main(int argc, char** argv) {
    using namespace vell::app;
    const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
    if (launchMode(arguments) == LaunchMode::selfTest) {
        return runSelfTestOnDesktop(std::cout);
    }
    Application application;
    return application.run(argc, argv);
}
