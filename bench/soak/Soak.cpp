// The soak: many dictations through the controller on the GLib main loop with
// the real recorder (the session's sound server) and the cloud recogniser
// against a service on loopback that answers every way it can fail; then many
// inserts through the real paste over the X clipboard, whose contents are
// random mixes of text, HTML, a large image (sent in increments) and binary
// with NUL bytes, while the person's own copies arrive at random moments.
//
// Afterwards: no recording on disk, heap in use flat beyond noise, no file
// descriptor or thread more than after the warm-up; the clipboard always back
// to the person's latest copy and never left holding the dictated text.
// Prints a summary and exits 1 on any loss or leak.
//   vell_soak [DICTATIONS] [INSERTS] [COPIES]   (run inside headless-session.sh)
// COPIES: the share of inserts during which the person copies (0.3).

#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/CloudRecogniser.h"
#include "audio/Recorder.h"
#include "dictation/DictationController.h"
#include "integration/paste/PasteScene.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/PulseAudioInput.h"
#include "support/ControllerDoubles.h"

namespace {

using namespace vell;
using Controller = dictation::DictationController;

// ---- what the process holds --------------------------------------------------------------

struct Holdings {
    // heapKiB: bytes in use from the allocator, which only our own allocations
    // and frees move. The others are shown for reference: anonymous memory
    // also keeps what the allocator has freed but not given back, and private
    // memory and PSS move whenever other processes map or unmap the pages of
    // the libraries and shared memory we share with them.
    long heapKiB = 0, anonymousKiB = 0, privateKiB = 0, pssKiB = 0, rssKiB = 0;
    int fds = 0, threads = 0;

    static Holdings now() {
        Holdings h;
        const struct mallinfo2 heap = mallinfo2();
        h.heapKiB = static_cast<long>((heap.uordblks + heap.hblkhd) / 1024);
        std::ifstream rollup("/proc/self/smaps_rollup");
        for (std::string line; std::getline(rollup, line);) {
            std::sscanf(line.c_str(), "Anonymous: %ld", &h.anonymousKiB);
            std::sscanf(line.c_str(), "Pss: %ld", &h.pssKiB);
            std::sscanf(line.c_str(), "Rss: %ld", &h.rssKiB);
            long part = 0;
            if (std::sscanf(line.c_str(), "Private_Clean: %ld", &part) == 1 ||
                std::sscanf(line.c_str(), "Private_Dirty: %ld", &part) == 1)
                h.privateKiB += part;
        }
        auto count = [](const char* folder) {
            int n = 0;
            for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
            return n;
        };
        h.fds = count("/proc/self/fd") - 1;  // the listing's own
        h.threads = count("/proc/self/task");
        return h;
    }
    std::string text() const {
        char line[200];
        std::snprintf(line, sizeof line,
                      "heap in use %ld KiB, anonymous %ld KiB, private %ld KiB, PSS %ld KiB, RSS %ld KiB, %d fds, "
                      "%d threads",
                      heapKiB, anonymousKiB, privateKiB, pssKiB, rssKiB, fds, threads);
        return line;
    }
};

// The heap may settle a little (caches filling up) but not grow with the
// number of runs: a leak of 2 KiB a dictation over a thousand is caught.
bool flat(const Holdings& start, const Holdings& end, std::string& why) {
    const long grewKiB = end.heapKiB - start.heapKiB;
    if (grewKiB > 1024 + start.heapKiB / 100) why += " heap grew by " + std::to_string(grewKiB) + " KiB;";
    if (end.fds > start.fds) why += " file descriptors leaked;";
    if (end.threads > start.threads) why += " threads leaked;";
    return why.empty();
}

std::mt19937 random(20261207);

// ---- dictations --------------------------------------------------------------------------

// How the service answers one dictation, and what the person then sees.
struct Answer {
    const char* name;
    std::string problem;  // empty: the transcript is typed
};

const std::vector<Answer> answers = {
    {"transcript", ""},
    {"too long (413)", "That was longer than a dictation \u2014 record it in the app instead."},
    {"server error with a message (500)", "The transcriber is overloaded."},
    {"dropped connection", "Could not reach Vell. Check your connection."},
    {"late answer", "Could not reach Vell. Check your connection."},
    {"empty transcript", "Didn't catch anything \u2014 was the microphone close enough?"},
    {"no token", "Sign in from the Vell panel first."},
};
constexpr double recogniserTimeout = 1.0;
// Long enough for a late answer's connection to close and background work to
// end before the holdings are counted.
constexpr double settle = 3 * recogniserTimeout + 0.5;

// The service, answering each request as the soak has scripted it.
class ScriptedService {
public:
    ScriptedService() {
        server_.Post("/api/v1/dictate", [this](const httplib::Request&, httplib::Response& response) {
            std::string kind;
            {
                std::lock_guard lock(mutex_);
                kind = next_;
                served_.push_back(kind);
            }
            if (kind == "too long (413)") {
                response.status = 413;
            } else if (kind == "server error with a message (500)") {
                response.status = 500;
                response.set_content(R"({"message":"The transcriber is overloaded."})", "application/json");
            } else if (kind == "dropped connection") {
                response.set_content_provider(64, "application/json",
                                              [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
            } else if (kind == "late answer") {
                std::this_thread::sleep_for(std::chrono::duration<double>(3 * recogniserTimeout));
                response.set_content(R"({"text":"too late"})", "application/json");
            } else if (kind == "empty transcript") {
                response.set_content(R"({"text":""})", "application/json");
            } else {
                std::lock_guard lock(mutex_);
                response.set_content(R"({"text":")" + transcript_ + R"("})", "application/json");
            }
        });
        // One request a connection: no idle keep-alive socket, on either end,
        // in the descriptor counts of this process.
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~ScriptedService() {
        server_.stop();
        thread_.join();
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void script(const std::string& kind, const std::string& transcript) {
        std::lock_guard lock(mutex_);
        next_ = kind;
        transcript_ = transcript;
    }
    // The kinds of answer given so far, in order.
    std::vector<std::string> served() const {
        std::lock_guard lock(mutex_);
        return served_;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::string next_, transcript_;
    std::vector<std::string> served_;
};

struct DictationResults {
    int runs = 0, unexpected = 0, filesLeft = 0, shortTakes = 0;
    std::map<std::string, int> injected;
    Holdings start, end;
};

int recordingsIn(const std::filesystem::path& folder) {
    int count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        count += it->path().filename().string().starts_with("vell-dictation-");
    return count;
}

DictationResults soakDictations(int count) {
    DictationResults results;
    platform::GlibMainLoop loop;
    platform::PulseAudioInput input;
    audio::Recorder recorder(input);
    platform::CurlHttpClient http;
    test::FakeSession session;
    ScriptedService service;
    audio::CloudRecogniser recogniser(session, http, loop, service.base(), recogniserTimeout);
    test::FillEngineDouble fillEngine;
    test::FillServiceDouble fillService(loop);
    test::PasteDouble paste(loop);
    test::DesktopDouble desktop;
    test::FakeClipboard clipboard;
    test::LoginItemDouble loginItem;
    auto controller = Controller::create(
        {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, loginItem});
    const auto folder = input.temporaryDirectory();
    const int warmUp = std::min(20, count / 4);
    results.start = Holdings::now();

    std::uniform_int_distribution<std::size_t> pick(0, answers.size() - 1);
    for (int i = 0; i < count; ++i) {
        if (i == warmUp) {
            loop.runFor(settle);
            results.start = Holdings::now();
        }
        if (i > warmUp && i % std::max(1, count / 10) == 0)
            std::printf("after %d dictations: %s\n", i, Holdings::now().text().c_str());
        const Answer& answer = answers[i < static_cast<int>(answers.size()) ? i : pick(random)];
        const std::string transcript = "dictation " + std::to_string(i);
        service.script(answer.name, transcript);
        session.signedIn = true;
        const std::size_t typed = paste.inserts.size();
        const std::size_t asked = service.served().size();

        controller->begin(Controller::Mode::dictate);
        const char* wrong = nullptr;
        if (!loop.runUntil([&] { return controller->phase().isRecording(); }, 10) ||
            !loop.runUntil([&] { return controller->elapsed() >= 0.5; }, 10))
            wrong = "no take";
        if (answer.name == std::string("no token")) session.signedIn = false;  // the session ended meanwhile
        controller->finish();
        if (!loop.runUntil([&] { return controller->phase() == Controller::Phase::idle(); }, 30)) {
            wrong = "stuck";
        } else if (answer.problem.empty()) {
            if (!loop.runUntil([&] { return paste.inserts.size() == typed + 1; }, 5) ||
                paste.inserts.back().text != transcript)
                wrong = "not typed";
        } else {
            loop.runFor(Controller::pasteDelay + 0.1);  // a transcript would have been typed by now
            if (paste.inserts.size() != typed)
                wrong = "typed";
            else if (controller->problem() != answer.problem)
                wrong = "another sentence";
        }
        // On a busy machine the sound server may deliver less than the
        // shortest take kept in the time the meter counted: the take is then
        // dropped silently, as it should be, and never reaches the service.
        const bool reachesService = answer.name != std::string("no token");
        const bool recorded = wrong && std::string(wrong) != "no take" && std::string(wrong) != "stuck";
        if (recorded && reachesService && service.served().size() == asked && paste.inserts.size() == typed) {
            ++results.shortTakes;
            wrong = nullptr;
        }
        const int left = recordingsIn(folder);
        results.filesLeft += left;
        ++results.runs;
        ++results.injected[answer.name];
        if (wrong || left) {
            ++results.unexpected;
            const auto served = service.served();
            std::printf(
                "dictation %d (%s): %s, %d recordings left, the problem line says \"%s\", the service "
                "answered %zu requests, the latest as %s\n",
                i, answer.name, wrong ? wrong : "as expected", left, controller->problem().value_or("").c_str(),
                served.size(), served.empty() ? "-" : served.back().c_str());
        }
    }
    loop.runFor(settle);
    results.end = Holdings::now();
    controller.reset();
    return results;
}

// ---- inserts -----------------------------------------------------------------------------

using Targets = test::PasteScene::Targets;

std::string randomBytes(std::size_t size, bool withNul) {
    std::uniform_int_distribution<int> byte(withNul ? 0 : 1, 255);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(byte(random));
    return bytes;
}

// A person's copy: text always, and at random HTML, a large PNG (far beyond
// one X request, so it travels in increments) and binary with NUL bytes.
Targets randomCopy(int n) {
    Targets targets{{"UTF8_STRING", "copied text " + std::to_string(n)}};
    std::bernoulli_distribution half(0.5);
    if (half(random)) targets.push_back({"text/html", "<b>copied</b> <i>" + std::to_string(n) + "</i>"});
    if (half(random)) {
        static const std::string png = "\x89PNG\r\n\x1a\n" + randomBytes(3 << 20, true);
        targets.push_back({"image/png", png});
    }
    if (half(random)) targets.push_back({"application/x-vell-binary", randomBytes(4096, true) + std::string(8, '\0')});
    return targets;
}

struct InsertResults {
    int runs = 0, unexpected = 0, losses = 0, personsCopies = 0;
    Holdings start, end;
};

InsertResults soakInserts(int count, double copies) {
    InsertResults results;
    test::PasteScene scene;
    scene.openEntry();
    const int warmUp = std::min(10, count / 4);
    results.start = Holdings::now();
    std::bernoulli_distribution personCopies(copies);
    std::uniform_real_distribution<double> moment(0.0, 0.6);

    // Counted with a small copy of another program's on the clipboard, so
    // that none of the large contents we may be serving is counted, and once
    // transfers in increments a reader left unfinished have been given up
    // (GTK holds their copy of the contents for 30 idle seconds).
    auto settled = [&] {
        scene.offerElsewhere({{"UTF8_STRING", "settled"}});
        scene.loop.runFor(31);
        return Holdings::now();
    };

    for (int i = 0; i < count; ++i) {
        if (i == warmUp) results.start = settled();
        if (i > warmUp && i % std::max(1, count / 10) == 0)
            std::printf("after %d inserts: %s\n", i, Holdings::now().text().c_str());
        Targets expected = randomCopy(i);
        scene.offerElsewhere(expected);
        const std::string text = " inserted-" + std::to_string(i);

        auto insert = scene.paste.insert(text);
        if (personCopies(random)) {
            // The person copies something while the insert runs.
            const double at = scene.loop.now() + moment(random);
            scene.runUntil([&] { return scene.loop.now() >= at; });
            expected = randomCopy(i + 100000);
            scene.offerElsewhere(expected);
            ++results.personsCopies;
        }
        bool ok = scene.runUntil([&] { return insert.done(); }, 30);
        scene.loop.runFor(fill::Paste::restoreDelay + 0.2);
        ok = ok && scene.runUntil([&] { return scene.entryText().ends_with(text); }, 5);

        const auto read = scene.readElsewhere();
        bool lost = false;
        for (const auto& [target, bytes] : expected) {
            std::string name = target;
            std::replace(name.begin(), name.end(), '/', '_');
            const auto found = read.find(name);
            lost = lost || found == read.end() || found->second != bytes;
        }
        for (const auto& [name, bytes] : read) lost = lost || bytes.find("inserted-") != std::string::npos;
        results.losses += lost;
        ++results.runs;
        if (!ok || lost) {
            ++results.unexpected;
            std::printf("insert %d: %s\n", i, lost ? "the clipboard was not the person's copy" : "not typed");
        }
    }
    scene.loop.runFor(1.0);
    results.end = settled();
    return results;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while it runs
    const int dictations = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int inserts = argc > 2 ? std::atoi(argv[2]) : 500;
    const double copies = argc > 3 ? std::atof(argv[3]) : 0.3;
    bool passed = true;

    std::string why;
    if (dictations > 0) {
        const auto d = soakDictations(dictations);
        std::printf(
            "dictations: %d, unexpected outcomes: %d, recordings left on disk: %d, takes too short to keep: %d\n",
            d.runs, d.unexpected, d.filesLeft, d.shortTakes);
        std::printf("failures injected:");
        for (const auto& [name, n] : d.injected) std::printf(" %s %d;", name.c_str(), n);
        std::printf("\ndictations after warm-up: %s\ndictations at the end:    %s\n", d.start.text().c_str(),
                    d.end.text().c_str());
        if (!flat(d.start, d.end, why) || d.unexpected || d.filesLeft) {
            std::printf("dictations FAILED:%s\n", why.c_str());
            passed = false;
        }
    }

    if (inserts > 0) {
        why.clear();
        const auto in = soakInserts(inserts, copies);
        std::printf(
            "inserts: %d, person's copies during an insert: %d, clipboard losses: %d, unexpected outcomes: %d\n",
            in.runs, in.personsCopies, in.losses, in.unexpected);
        std::printf("inserts after warm-up: %s\ninserts at the end:    %s\n", in.start.text().c_str(),
                    in.end.text().c_str());
        if (!flat(in.start, in.end, why) || in.unexpected || in.losses) {
            std::printf("inserts FAILED:%s\n", why.c_str());
            passed = false;
        }
    }
    std::printf("soak: %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}
