// The fill engine against a real GTK form over AT-SPI, in a headless session.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "fill/FillEngine.h"
#include "integration/fill/FormProcess.h"
#include "platform/Async.h"
#include "platform/Task.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/GlibMainLoop.h"

#include <gtk/gtk.h>

using vell::fill::FillEngine;
using vell::test::FormProcess;
using vell::test::waitUntil;

namespace {

std::string describe(const FillEngine::Field& f) {
    auto o = [](const std::optional<std::string>& s) { return s ? "\"" + *s + "\"" : std::string("-"); };
    return f.id + " label=" + o(f.label) + " placeholder=" + o(f.placeholder) + " type=" + f.type +
           " near=" + o(f.near) + " original=" + o(f.original);
}

// The sample form as read: the password, read-only reference, disabled
// member number, PIN and card number are left out; the grid's rows come last,
// one level down.
const std::vector<std::string> sampleForm = {
    R"(f0 label="Full name" placeholder=- type=text near=- original="")",
    R"(f1 label="Email" placeholder=- type=text near=- original="old@example.com")",
    "f2 label=\"Notes\" placeholder=- type=textarea near=- original=\"first line\nsecond line\"",
    R"(f3 label="City" placeholder=- type=text near=- original="Lyon")",
    R"(f4 label=- placeholder=- type=text near="Company" original="")",
    R"(f5 label=- placeholder="Phone number" type=text near=- original="")",
    R"(f6 label="Nickname" placeholder=- type=text near=- original="")",
    R"(f7 label=- placeholder=- type=text near="Street" original="")",
    R"(f8 label=- placeholder=- type=text near="Zip code" original="")",
    R"(f9 label=- placeholder=- type=text near="Country" original="")",
};

// The form's tree appears on the bus a moment after its window: poll.
std::vector<FillEngine::Field> fieldsOf(FillEngine& engine, pid_t pid, double seconds = 30) {
    std::vector<FillEngine::Field> fields;
    waitUntil([&] { return (fields = engine.enumerate(pid, 40)).size() >= sampleForm.size(); }, seconds);
    return fields;
}

class AtspiFillTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        form = new FormProcess({VELL_FORM_FIXTURE});
        ASSERT_TRUE(form->waitReady()) << "the form did not start";
    }
    static void TearDownTestSuite() { delete form; }

    static inline FormProcess* form = nullptr;
    vell::platform::AtspiAccessibility ax;
    FillEngine engine{ax};
};

// Read from the application's cached tree description, and asking every element.
TEST_F(AtspiFillTest, ReadsTheFormsFieldsWithTheirLabelsPlaceholdersAndCaptions) {
    vell::platform::AtspiAccessibility live(0.4, false);
    FillEngine liveEngine(live);
    for (FillEngine* reader : {&engine, &liveEngine}) {
        std::vector<std::string> read;
        for (const auto& field : fieldsOf(*reader, form->pid())) read.push_back(describe(field));
        EXPECT_EQ(read, sampleForm) << (reader == &engine ? "cached" : "asked");
    }
}

struct Write {
    const char *id, *input, *value;
};

// Writes each value into its field, expects the form to show exactly those
// changes, then undoes them and expects the form as it was.
void writeThenUndo(FormProcess& form, FillEngine& engine, const std::vector<Write>& writes, double patience = 30) {
    const auto fields = fieldsOf(engine, form.pid(), patience);
    ASSERT_EQ(fields.size(), sampleForm.size());
    const auto before = form.values();
    std::map<std::string, std::string> values;
    auto expected = before;
    for (const auto& w : writes) values[w.id] = expected[w.input] = w.value;
    const auto outcomes = engine.apply(values, fields);
    ASSERT_EQ(outcomes.size(), writes.size());
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome.result, FillEngine::Applied::applied) << outcome.label;
    EXPECT_EQ(form.values(), expected);  // and nothing else changed
    engine.undo(fields, outcomes);
    EXPECT_EQ(form.values(), before);
}

TEST_F(AtspiFillTest, WritesValuesTheFormSeesAndUndoPutsTheOriginalsBack) {
    writeThenUndo(*form, engine,
                  {{"f0", "name", "Ada Lovelace"},
                   {"f1", "email", "ada@example.com"},
                   {"f2", "notes", "Analytical\nEngine"},
                   {"f3", "city", "Paris"},
                   {"f4", "company", "Babbage & Co"},
                   {"f5", "phone", "+44 20 7946 0000"},
                   {"f8", "zip", "SW1A 1AA"}});
}

// As in the program: a GTK process with its own accessible window, whose main
// loop keeps running while the walk and the writes happen on a background
// thread. Answers the fields found in the form and in the own window.
vell::Task<std::pair<std::size_t, std::size_t>> fillInTheBackground(vell::platform::MainLoop& loop, FillEngine& engine,
                                                                    pid_t pid) {
    co_return co_await vell::onBackground(loop, [&engine, pid] {
        auto fields = fieldsOf(engine, pid);
        engine.undo(fields, engine.apply({{"f4", "From the background"}}, fields));
        std::vector<FillEngine::Field> own;
        waitUntil([&] { return !(own = engine.enumerate(::getpid(), 40)).empty(); });
        return std::make_pair(fields.size(), own.size());
    });
}

TEST_F(AtspiFillTest, WorksFromABackgroundThreadOfAGtkProgram) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    GtkWidget* own = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(own), gtk_entry_new());
    gtk_widget_show_all(own);
    vell::platform::GlibMainLoop loop;

    auto task = fillInTheBackground(loop, engine, form->pid());
    ASSERT_TRUE(loop.runUntil([&] { return task.done(); }, 60));
    EXPECT_EQ(task.get(), std::make_pair(sampleForm.size(), std::size_t{1}));
    EXPECT_EQ(form->values()["company"], "");
    gtk_widget_destroy(own);
}

// A stopped target neither stalls the walk nor the writes; the one write that
// was sent lands once it runs again, and undo puts it back.
TEST_F(AtspiFillTest, AStoppedTargetFailsAtOnceAndUndoPutsBackTheWriteThatLandedLate) {
    auto fields = fieldsOf(engine, form->pid());
    ASSERT_EQ(fields.size(), sampleForm.size());
    const auto before = form->values();
    ::kill(form->pid(), SIGSTOP);
    auto outcomes = engine.apply({{"f0", "A"}, {"f1", "B"}, {"f4", "C"}, {"f5", "D"}}, fields);
    const auto whileStopped = engine.enumerate(form->pid(), 40);
    ::kill(form->pid(), SIGCONT);
    EXPECT_TRUE(whileStopped.empty());
    ASSERT_EQ(outcomes.size(), 4u);
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome.result, FillEngine::Applied::failed);
    ASSERT_TRUE(waitUntil([&] { return form->values()["name"] == "A"; }));
    EXPECT_EQ(form->values()["email"], before["email"]);

    std::this_thread::sleep_for(std::chrono::seconds(3));  // the target is asked again after a quiet spell
    EXPECT_EQ(fieldsOf(engine, form->pid()).size(), sampleForm.size());
    engine.undo(fields, outcomes);
    EXPECT_EQ(form->values(), before);
}

// A program that answers every request half a second late gets its whole
// fill: the same fields, every write confirmed, and undo.
TEST(SlowTargetTest, GetsEveryFieldAndEveryWrite) {
    FormProcess slow({VELL_FORM_FIXTURE, "--slow", "500"});
    ASSERT_TRUE(slow.waitReady());
    vell::platform::AtspiAccessibility ax;
    FillEngine engine{ax};
    writeThenUndo(slow, engine, {{"f0", "name", "Ada"}, {"f3", "city", "Paris"}, {"f9", "country", "France"}}, 120);
}

// The bus's switch that asks programs to expose their accessible trees.
TEST_F(AtspiFillTest, EnumeratingTurnsTheAccessibilitySwitchOn) {
    const std::string property =
        "gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus --method "
        "org.freedesktop.DBus.Properties.";
    auto enabled = [&] {
        return std::system((property + "Get org.a11y.Status IsEnabled | grep -q true").c_str()) == 0;
    };
    ASSERT_EQ(std::system((property + "Set org.a11y.Status IsEnabled '<false>' >/dev/null").c_str()), 0);
    ASSERT_FALSE(enabled());

    engine.enumerate(form->pid(), 40);

    EXPECT_TRUE(enabled());
}

}  // namespace
