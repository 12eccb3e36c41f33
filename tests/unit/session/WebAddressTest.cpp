#include "session/WebAddress.h"

#include <gtest/gtest.h>

namespace vell::session {
namespace {

TEST(WebAddressTest, HostIsTheLowerCaseNameWithoutUserPortOrPath) {
    struct Row {
        const char* address;
        std::optional<std::string> host;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"https://app.vell.so/app#/desktop", "app.vell.so"},
             {"HTTPS://User:pw@Vell.Supabase.CO:443?x=1", "vell.supabase.co"},
             {"http://[::1]:80/", "::1"},
             {"vell://auth#access_token=x", "auth"},
             {"about:blank", std::nullopt},
             {"mailto:a@b.c", std::nullopt},
             {"file:///etc/x", std::nullopt},
             {"http://", std::nullopt},
             {"http://user@:80/", std::nullopt},
             {"no address", std::nullopt},
             {"://x", std::nullopt},
             {"1http://a.b", std::nullopt},
             {"blob:http://a.b/1", std::nullopt},
         })
        EXPECT_EQ(WebAddress::host(row.address), row.host) << row.address;
}

TEST(WebAddressTest, SameOriginComparesSchemeHostAndPort) {
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
             {"https://app.vell.so.evil.example/", "https://app.vell.so", false},
             {"http://:80/", "http://:80/", false},  // no host is no match
             {"about:blank", "about:blank", false},  // no origin is no match
         })
        EXPECT_EQ(WebAddress::sameOrigin(row.a, row.b), row.same) << row.a << " vs " << row.b;
}

}  // namespace
}  // namespace vell::session
