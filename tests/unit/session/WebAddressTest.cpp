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

TEST(WebAddressTest, SchemeAndSameHost) {
    EXPECT_EQ(WebAddress::scheme("VELL://auth"), "vell");
    EXPECT_EQ(WebAddress::scheme("about:blank"), "about");
    EXPECT_EQ(WebAddress::scheme("/relative"), std::nullopt);
    EXPECT_TRUE(WebAddress::sameHost("a.example", "a.example"));
    EXPECT_FALSE(WebAddress::sameHost("a.example", "b.example"));
    EXPECT_FALSE(WebAddress::sameHost(std::nullopt, std::nullopt)) << "two missing hosts are no match";
}

}  // namespace
}  // namespace vell::session
