// The machine's DNS server list: resolv.conf lines, address:port entries
// and the process-wide override.
#include "platform/kelDnsServers.h"

#include <gtest/gtest.h>

namespace {

TEST(kelDnsServersTest, ResolvConfGivesItsIPv4NameserversInOrder)
{
    const char* text = "# generated\n"
                       "search example.test\n"
                       "nameserver 10.1.2.3\n"
                       "nameserver ::1\n"
                       "  nameserver\t192.0.2.53   # trailing comment\n"
                       "nameserver not-an-address\n"
                       "options ndots:2\n"
                       "nameserver 198.51.100.1";
    EXPECT_EQ(kelParseResolvConf(text), (std::vector<std::string>{"10.1.2.3", "192.0.2.53", "198.51.100.1"}));
    EXPECT_TRUE(kelParseResolvConf("").empty());
}

TEST(kelDnsServersTest, EntriesNameAnAddressAndAnOptionalPort)
{
    struct Case
    {
        const char* entry;
        bool ok;
        const char* address;
        uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1", true, "127.0.0.1", 53},
        {"127.0.0.2:5353", true, "127.0.0.2", 5353},
        {"127.0.0.1:65535", true, "127.0.0.1", 65535},
        {"127.0.0.1:0", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:5x", false, "", 0},
        {"localhost:53", false, "", 0},
        {"", false, "", 0},
        {"1.2.3", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string address = "untouched";
        uint16_t port = 1;
        EXPECT_EQ(kelSplitDnsServer(c.entry, address, port), c.ok) << c.entry;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.entry;
            EXPECT_EQ(port, c.port) << c.entry;
        } else {
            EXPECT_EQ(address, "untouched") << c.entry;
        }
    }
}

TEST(kelDnsServersTest, TheOverrideReplacesTheListUntilCleared)
{
    std::string saved;
    const bool had = kelDnsServersOverride(saved);
    // The test programs' guard has set one before any test.
    EXPECT_TRUE(had);
    EXPECT_EQ(saved, "127.0.0.1:9");
    kelSetDnsServersOverride("127.0.0.2:5353\r\n127.0.0.3, 127.0.0.4:1");
    EXPECT_EQ(kelDnsServers(), (std::vector<std::string>{"127.0.0.2:5353", "127.0.0.3", "127.0.0.4:1"}));
    kelSetDnsServersOverride("");
    EXPECT_TRUE(kelDnsServers().empty());
    kelClearDnsServersOverride();
    std::string none;
    EXPECT_FALSE(kelDnsServersOverride(none));
    if (had) kelSetDnsServersOverride(saved.c_str());
}

} // namespace
