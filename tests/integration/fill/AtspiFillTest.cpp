// The fill engine against a real GTK form over AT-SPI, in a headless session.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
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

namespace {

struct Expected {
    std::string id;
    std::optional<std::string> label, placeholder;
    std::string type;
    std::optional<std::string> near, original;
};

std::string describe(const FillEngine::Field& f) {
    auto o = [](const std::optional<std::string>& s) { return s ? "\"" + *s + "\"" : std::string("-"); };
    return f.id + " label=" + o(f.label) + " placeholder=" + o(f.placeholder) + " type=" + f.type +
           " near=" + o(f.near) + " original=" + o(f.original);
}

class AtspiFillTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        form = new FormProcess({VELL_FORM_FIXTURE});
        ASSERT_TRUE(form->waitReady()) << "the form fixture did not start";
    }
    static void TearDownTestSuite() {
        delete form;
        form = nullptr;
    }

    // The form's tree appears on the bus a moment after its window: poll.
    std::vector<FillEngine::Field> enumerateWhenReady(std::size_t expected) {
        std::vector<FillEngine::Field> fields;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            fields = engine.enumerate(form->pid(), 40);
            if (fields.size() >= expected) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return fields;
    }

    static inline FormProcess* form = nullptr;
    vell::platform::AtspiAccessibility ax;
    FillEngine engine{ax};
};

const std::vector<Expected> sampleForm = {
    {"f0", "Full name", std::nullopt, "text", std::nullopt, ""},
    {"f1", "Email", std::nullopt, "text", std::nullopt, "old@example.com"},
    {"f2", "Notes", std::nullopt, "textarea", std::nullopt, "first line\nsecond line"},
    {"f3", "City", std::nullopt, "text", std::nullopt, "Lyon"},
    {"f4", std::nullopt, std::nullopt, "text", "Company", ""},
    {"f5", std::nullopt, "Phone number", "text", std::nullopt, ""},
    // Left out: the read-only reference, the disabled member number, the PIN
    // and the card number.
    {"f6", "Nickname", std::nullopt, "text", std::nullopt, ""},
    {"f7", std::nullopt, std::nullopt, "text", "Street", ""},  // one level down, in the grid
    {"f8", std::nullopt, std::nullopt, "text", "Zip code", ""},
    {"f9", std::nullopt, std::nullopt, "text", "Country", ""},
};

TEST_F(AtspiFillTest, ReadsTheFormsFieldsWithTheirLabelsPlaceholdersAndCaptions) {
    auto fields = enumerateWhenReady(sampleForm.size());
    std::string all;
    for (const auto& f : fields) all += describe(f) + "\n";
    ASSERT_EQ(fields.size(), sampleForm.size()) << all;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        SCOPED_TRACE(describe(fields[i]));
        EXPECT_EQ(fields[i].id, sampleForm[i].id);
        EXPECT_EQ(fields[i].label, sampleForm[i].label);
        EXPECT_EQ(fields[i].placeholder, sampleForm[i].placeholder);
        EXPECT_EQ(fields[i].type, sampleForm[i].type);
        EXPECT_EQ(fields[i].near, sampleForm[i].near);
        EXPECT_EQ(fields[i].original, sampleForm[i].original);
    }
}

TEST_F(AtspiFillTest, WritesValuesTheFormSeesAndUndoPutsTheOriginalsBack) {
    auto fields = enumerateWhenReady(sampleForm.size());
    ASSERT_EQ(fields.size(), sampleForm.size());
    const auto before = form->values();
    ASSERT_TRUE(before.is_object());

    auto outcomes = engine.apply({{"f0", "Ada Lovelace"},
                                  {"f1", "ada@example.com"},
                                  {"f2", "Analytical\nEngine"},
                                  {"f3", "Paris"},
                                  {"f4", "Babbage & Co"},
                                  {"f5", "+44 20 7946 0000"},
                                  {"f8", "SW1A 1AA"}},
                                 fields);

    ASSERT_EQ(outcomes.size(), 7u);
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome.result, FillEngine::Applied::applied) << outcome.label;
    EXPECT_EQ(outcomes[3].label, "City");
    EXPECT_EQ(outcomes[6].label, "Zip code");
    auto after = form->values();
    EXPECT_EQ(after["name"], "Ada Lovelace");
    EXPECT_EQ(after["email"], "ada@example.com");
    EXPECT_EQ(after["notes"], "Analytical\nEngine");
    EXPECT_EQ(after["city"], "Paris");
    EXPECT_EQ(after["company"], "Babbage & Co");
    EXPECT_EQ(after["phone"], "+44 20 7946 0000");
    EXPECT_EQ(after["zip"], "SW1A 1AA");
    EXPECT_EQ(after["street"], "");
    EXPECT_EQ(after["password"], "hunter2");
    EXPECT_EQ(after["reference"], "R-1");
    EXPECT_EQ(after["member"], "M-7");
    EXPECT_EQ(after["pin"], "1234");
    EXPECT_EQ(after["card"], "4111");

    engine.undo(fields, outcomes);
    EXPECT_EQ(form->values(), before);
}

TEST_F(AtspiFillTest, ReadingTheApplicationsCacheGivesTheSameFieldsAsAskingEveryElement) {
    ASSERT_EQ(enumerateWhenReady(sampleForm.size()).size(), sampleForm.size());
    const long before = ax.calls();
    auto fromCache = engine.enumerate(form->pid(), 40);
    const long withDescription = ax.calls() - before;
    vell::platform::AtspiAccessibility live(0.4, false);
    FillEngine liveEngine(live);
    auto asked = liveEngine.enumerate(form->pid(), 40);
    ASSERT_EQ(fromCache.size(), asked.size());
    for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(describe(fromCache[i]), describe(asked[i]));
    EXPECT_LT(withDescription, live.calls());
    std::printf("requests for the sample form: %ld with the tree description, %ld asking every element\n",
                withDescription, live.calls());
}

// Reads the form, writes one value and puts it back, all on a background
// thread; then reads this program's own window the same way. Answers the
// number of fields found in each.
vell::Task<std::pair<std::size_t, std::size_t>> fillInTheBackground(vell::platform::MainLoop& loop, FillEngine& engine,
                                                                    pid_t pid) {
    auto work = [&engine, pid] {
        std::vector<FillEngine::Field> fields;
        for (int attempt = 0; attempt < 100 && fields.size() < sampleForm.size(); ++attempt) {
            fields = engine.enumerate(pid, 40);
            if (fields.size() < sampleForm.size()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        auto outcomes = engine.apply({{"f4", "From the background"}}, fields);
        engine.undo(fields, outcomes);
        // The program's own accessibility bridge still serves its window.
        std::vector<FillEngine::Field> own;
        for (int attempt = 0; attempt < 100 && own.empty(); ++attempt) {
            own = engine.enumerate(::getpid(), 40);
            if (own.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::make_pair(fields.size(), own.size());
    };
    co_return co_await vell::onBackground(loop, std::move(work));
}

// As in the program: a GTK process with its own accessible window, whose main
// loop keeps running while the walk and the writes happen on a background thread.
TEST_F(AtspiFillTest, WorksFromABackgroundThreadOfAGtkProgram) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    GtkWidget* own = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(own), gtk_entry_new());
    gtk_widget_show_all(own);
    vell::platform::GlibMainLoop loop;
    const pid_t pid = form->pid();

    auto task = fillInTheBackground(loop, engine, pid);
    EXPECT_TRUE(loop.runUntil([&] { return task.done(); }, 60));
    ASSERT_TRUE(task.done());
    const auto [formFields, ownFields] = task.get();
    EXPECT_EQ(formFields, sampleForm.size());
    EXPECT_EQ(ownFields, 1u);
    EXPECT_EQ(form->values()["company"], "");
    gtk_widget_destroy(own);
}

TEST_F(AtspiFillTest, AStoppedTargetDoesNotStallTheWalk) {
    ASSERT_EQ(enumerateWhenReady(sampleForm.size()).size(), sampleForm.size());
    ::kill(form->pid(), SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    auto fields = engine.enumerate(form->pid(), 40);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ::kill(form->pid(), SIGCONT);
    std::printf("enumerate on a stopped target returned %zu fields in %.3f s\n", fields.size(), took.count());
    EXPECT_LT(took.count(), 1.5);
    // And the target is read normally again once it runs.
    EXPECT_EQ(enumerateWhenReady(sampleForm.size()).size(), sampleForm.size());
}

TEST_F(AtspiFillTest, WritingToAStoppedTargetFailsQuicklyAndItCanBeRestoredOnceItRuns) {
    auto fields = enumerateWhenReady(sampleForm.size());
    ASSERT_EQ(fields.size(), sampleForm.size());
    const auto before = form->values();
    ::kill(form->pid(), SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    auto outcomes = engine.apply({{"f0", "A"}, {"f1", "B"}, {"f4", "C"}, {"f5", "D"}}, fields);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ::kill(form->pid(), SIGCONT);
    std::printf("apply of 4 values to a stopped target took %.3f s\n", took.count());
    EXPECT_LT(took.count(), 2.0);
    ASSERT_EQ(outcomes.size(), 4u);
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome.result, FillEngine::Applied::failed);
    // Only the first write was sent; the target may still carry it out once it
    // runs again. The others were never sent.
    auto during = form->values();
    EXPECT_EQ(during["email"], before["email"]);
    EXPECT_EQ(during["company"], before["company"]);

    // Once it runs again, a fresh fill reaches it.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    auto again = engine.apply({{"f0", "A"}}, fields);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].result, FillEngine::Applied::applied);
    engine.undo(fields, again);
    EXPECT_EQ(form->values(), before);
}

}  // namespace

namespace {

std::optional<bool> accessibilityEnabled(GDBusConnection* bus) {
    GVariant* reply =
        g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
                                    G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!reply) return std::nullopt;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool enabled = g_variant_get_boolean(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    return enabled;
}

TEST_F(AtspiFillTest, EnumeratingTurnsTheAccessibilitySwitchOn) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_TRUE(bus);
    GVariant* done = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(FALSE)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    ASSERT_TRUE(done);
    g_variant_unref(done);
    EXPECT_EQ(accessibilityEnabled(bus), false);

    engine.enumerate(form->pid(), 40);

    EXPECT_EQ(accessibilityEnabled(bus), true);
    g_object_unref(bus);
}

}  // namespace
