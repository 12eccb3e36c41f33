// The controller's collaborators are classes whose own modules are not linked
// into this test: every test replaces all of their operations with doubles
// (tests/support/ControllerDoubles.h). These out-of-line members only let the
// classes' vtables link; none of them is ever called.

#include <stdexcept>

#include "audio/Recorder.h"
#include "fill/FillEngine.h"
#include "fill/FillService.h"
#include "fill/Paste.h"

namespace {
[[noreturn]] void replacedByDouble() { throw std::logic_error("replaced by a test double"); }
}  // namespace

namespace vell::audio {
void Recorder::start() { replacedByDouble(); }
std::optional<std::filesystem::path> Recorder::stop(double) { replacedByDouble(); }
Task<bool> Recorder::requestPermission() { replacedByDouble(); }
std::optional<float> Recorder::averagePower() const { replacedByDouble(); }
Recorder::Authorisation Recorder::authorisation() { replacedByDouble(); }
std::optional<std::string> Recorder::deviceName() { replacedByDouble(); }
}  // namespace vell::audio

namespace vell::fill {
std::vector<FillEngine::Field> FillEngine::enumerate(pid_t, int) { replacedByDouble(); }
std::map<std::string, int> FillEngine::diagnose(pid_t) { replacedByDouble(); }
std::vector<FillEngine::Outcome> FillEngine::apply(const std::map<std::string, std::string>&,
                                                   const std::vector<Field>&) {
    replacedByDouble();
}
void FillEngine::undo(const std::vector<Field>&, const std::vector<Outcome>&) { replacedByDouble(); }
Task<FillService::Mapping> FillService::send(std::map<std::string, std::string>, std::vector<FillEngine::Field>) {
    replacedByDouble();
}
Task<> Paste::insert(std::string) { replacedByDouble(); }
}  // namespace vell::fill
