// Every kind of vell:// link the program may be sent, read as one table.
#include <gtest/gtest.h>

#include "app/Links.h"

namespace vell::app::links {
namespace {

struct Row {
    const char* text;
    std::optional<Link> expected;
};

TEST(LinksTest, ReadsWhatEachLinkAsksForAndIgnoresTheRest) {
    const Row rows[] = {
        {"vell://auth#access_token=a&refresh_token=r&expires_at=1700000000.5&email=ada%40example.com",
         SignIn{"a", "r", 1700000000.5, "ada@example.com"}},
        {"vell://auth?access_token=a&refresh_token=r", std::nullopt},  // query instead of fragment
        {"vell://auth#access_token=a", std::nullopt},                  // no refresh token
        {"vell://auth#access_token=a&refresh_token=r&expires_at=soon", SignIn{"a", "r", std::nullopt, std::nullopt}},
        {"vell://auth#access_token=a=b==&refresh_token=r", SignIn{"a=b==", "r", std::nullopt, std::nullopt}},
        {"vell://auth#email=x&access_token=a&email=y&refresh_token=r", SignIn{"a", "r", std::nullopt, "y"}},
        {"vell://auth#access_token=a+b%252B&refresh_token=r", SignIn{"a+b+", "r", std::nullopt, std::nullopt}},
        {"vell://auth#&&==access_token=a&refresh_token=r&x&y=&=z", SignIn{"a", "r", std::nullopt, std::nullopt}},
        {"vell://auth#access_token=%E2%9C%93%2541&refresh_token=%25zz",
         SignIn{"✓A", "%zz", std::nullopt, std::nullopt}},
        {"vell://auth#access_token=a&refresh_token=r%", std::nullopt},  // a broken escape
        {"vell://Auth#access_token=a&refresh_token=r", std::nullopt},   // host case matters
        {"vell://other#access_token=a&refresh_token=r", std::nullopt},
        {"vell:auth#access_token=a&refresh_token=r", std::nullopt},  // no host
        {"vell://auth#access_token=a b&refresh_token=r", std::nullopt},
        {"", std::nullopt},
        {"vell://debug/token?out=/tmp/r.json", TokenReport{"/tmp/r.json"}},
        {"vell://debug/token?out=/tmp/a%20b+c.json&flag", TokenReport{"/tmp/a b+c.json"}},
        {"vell://debug/token", std::nullopt},                // no "out"
        {"vell://debug/token?out=/a&out=/b", std::nullopt},  // a repeated name
        {"vell://debug/tokens?out=/a", std::nullopt},
        {"vell://debug/fill?pid=-42&transcript=Ada+L%C3%B6w&out=/r", FillReport{-42, "Ada+Löw", "/r"}},
        {"vell://debug/fill?pid=+2147483647&transcript=&out=/r", FillReport{2147483647, "", "/r"}},
        {"vell://debug/fill?pid=12a&transcript=t&out=/r", std::nullopt},
        {"vell://debug/fill?pid=2147483648&transcript=t&out=/r", std::nullopt},
        {"vell://debug/fill?pid=1&transcript=t", std::nullopt},
        {"vell://debug/fill?pid=1&out=/r", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(read(row.text), row.expected) << row.text;
}

}  // namespace
}  // namespace vell::app::links
