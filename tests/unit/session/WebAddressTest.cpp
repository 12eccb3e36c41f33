#include "session/WebAddress.h"

#include <gtest/gtest.h>

namespace vell::session {
namespace {

TEST(WebAddressTest, HostIsTheLowerCaseNameWithoutUserPortOrPath) {
    EXPECT_EQ(WebAddress::host("https://app.vell.so/app#/desktop"), "app.vell.so");
    EXPECT_EQ(WebAddress::host("http://127.0.0.1:8123/app"), "127.0.0.1");
    EXPECT_EQ(WebAddress::host("HTTPS://User:pw@Vell.Supabase.CO:443?x=1"), "vell.supabase.co");
    EXPECT_EQ(WebAddress::host("http://[::1]:80/"), "::1");
    EXPECT_EQ(WebAddress::host("vell://auth#access_token=x"), "auth");
}

TEST(WebAddressTest, AddressesWithoutAHostHaveNone) {
    for (const char* address : {"about:blank", "data:text/html,<p>", "vell:open", "mailto:a@b.c", "file:///etc/x",
                                "http://", "no address", "", "://x", "1http://a.b", "blob:http://a.b/1"})
        EXPECT_EQ(WebAddress::host(address), std::nullopt) << address;
}

TEST(WebAddressTest, SchemeAndOrigin) {
    EXPECT_EQ(WebAddress::scheme("VELL://auth"), "vell");
    EXPECT_EQ(WebAddress::scheme("about:blank"), "about");
    EXPECT_EQ(WebAddress::scheme("/relative"), std::nullopt);
    struct Row {
        const char* a;
        const char* b;
        bool same;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"https://app.vell.so/app#/x", "HTTPS://User@App.Vell.So:443", true},
             {"http://127.0.0.1:8123/app", "http://127.0.0.1:8123", true},
             {"http://[::1]/", "http://[::1]:80/x", true},
             {"http://127.0.0.1:9999/app", "http://127.0.0.1:8123", false},  // another port
             {"http://app.vell.so/app", "https://app.vell.so", false},       // another scheme
             {"https://app.vell.so:8443/", "https://app.vell.so", false},
             {"https://app.vell.so:x/", "https://app.vell.so", false},  // no port at all
             {"about:blank", "about:blank", false},                     // no origin is no match
         })
        EXPECT_EQ(WebAddress::sameOrigin(row.a, row.b), row.same) << row.a << " vs " << row.b;
}

}  // namespace
}  // namespace vell::session
