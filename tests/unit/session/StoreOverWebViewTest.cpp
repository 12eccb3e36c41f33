// The session store over the real panel logic and a fake view on the virtual
// clock: the whole road from accessToken() to the page and back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FakeWebView.h"
#include "VirtualLoop.h"
#include "session/PanelWebView.h"
#include "session/SessionStore.h"

namespace vell::session {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class StoreOverWebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vell-store-view.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        panel = PanelWebView::create(loop, std::make_unique<test::FakeWebView>(loop, record),
                                     {"https://app.vell.so", "https://vell.supabase.co"}, {});
        store = std::make_unique<SessionStore>(dir, [this] { return panel; });
    }
    void TearDown() override {
        loop.advance(60);
        std::error_code error;
        fs::remove_all(dir, error);
    }
    std::vector<double> callTimes(const std::string& body) const {
        std::vector<double> times;
        for (auto& call : record->scripts)
            if (call.body == body) times.push_back(call.at);
        return times;
    }

    test::VirtualLoop loop;
    std::shared_ptr<test::FakeWebView::Record> record = std::make_shared<test::FakeWebView::Record>();
    std::shared_ptr<PanelWebView> panel;
    std::unique_ptr<SessionStore> store;
    fs::path dir;
};

TEST_F(StoreOverWebViewTest, APageWithoutASessionSignsOutAfterFourQuestionsAndThreePauses) {
    record->respond = [](auto& call) -> platform::WebView::ScriptResult {
        return call.body == PanelWebView::adoptScript ? json(true) : json(nullptr);
    };
    store->adopt("at", "rt", std::nullopt, "ada@example.com");
    loop.runUntilIdle();
    record->scripts.clear();
    const double start = loop.now();

    auto token = store->accessToken();
    loop.advance(2.0);
    EXPECT_FALSE(token.done()) << "still between the third and fourth question";
    loop.advance(0.1);
    ASSERT_TRUE(token.done());
    EXPECT_THROW(token.get(), SessionError);
    EXPECT_EQ(callTimes(std::string(PanelWebView::tokenScript)),
              (std::vector<double>{start, start + 0.7, start + 1.4, start + 2.1}));
    EXPECT_FALSE(store->isSignedIn());
    EXPECT_FALSE(fs::exists(dir / "session.json"));
}

TEST_F(StoreOverWebViewTest, AdoptWritesTheMarkerBeforeThePageHasTheSession) {
    store->adopt("at", "rt", 5.0, std::nullopt);
    EXPECT_TRUE(fs::exists(dir / "session.json"));
    ASSERT_EQ(record->scripts.size(), 1u);
    EXPECT_EQ(record->scripts[0].arguments, (json{{"a", "at"}, {"r", "rt"}}));
    record->scripts[0].done(json(true));
    loop.advance(10);
    EXPECT_EQ(record->scripts.size(), 1u);
}

TEST_F(StoreOverWebViewTest, ClearErasesThePageDataAndReloads) {
    record->respond = [](auto&) { return json(true); };
    store->adopt("at", "rt", std::nullopt, std::nullopt);
    store->clear();
    ASSERT_EQ(record->clears.size(), 1u);
    record->clears[0]();
    EXPECT_EQ(record->loads.back().url, "https://app.vell.so/app");
    EXPECT_FALSE(store->isSignedIn());
}

// A sign-in made inside the panel counts once the service's own page names
// its address; no token is handed back and a stranger's page is not asked.
TEST_F(StoreOverWebViewTest, ASignInAtTheServicesPageIsRecordedWithoutHandingTokensBack) {
    struct Row {
        const char* url;
        json address;
        bool asked, signedIn;
    };
    const Row rows[] = {
        {"https://app.vell.so/app#/notes", "ada@example.com", true, true},
        {"https://app.vell.so", "ada@example.com", true, true},
        {"https://app.vell.so/app", nullptr, true, false},
        {"https://app.vell.so.evil.example/app", "ada@example.com", false, false},
        {"https://vell.supabase.co/auth", "ada@example.com", false, false},
    };
    for (const auto& row : rows) {
        store->clear();
        record->scripts.clear();
        record->url = row.url;
        record->respond = [&](auto&) -> platform::WebView::ScriptResult { return row.address; };
        auto noticed = store->noticeSignInAtPage();
        loop.runUntilIdle();
        ASSERT_TRUE(noticed.done()) << row.url;
        EXPECT_EQ(noticed.get(), row.signedIn) << row.url;
        EXPECT_EQ(store->isSignedIn(), row.signedIn) << row.url;
        EXPECT_EQ(record->scripts.size(), row.asked ? 1u : 0u) << "asked once, only the service's page: " << row.url;
        EXPECT_EQ(store->email(), row.signedIn ? std::optional<std::string>("ada@example.com") : std::nullopt);
    }
    auto again = store->noticeSignInAtPage();
    loop.runUntilIdle();
    EXPECT_FALSE(again.get()) << "nothing to notice once signed in";
}

}  // namespace
}  // namespace vell::session
