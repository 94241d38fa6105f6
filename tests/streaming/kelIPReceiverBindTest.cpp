// Where a unicast receiver binds: unless bind2ip names an address, its RTP
// and RTCP sockets take the local address that routes to the URI's host,
// never every interface; the system's own socket list (ss) shows it.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestResources.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(kelIPReceiverBindTest, RtpAndRtcpBindTheRoutedAddressUnlessBind2ipIsSet)
{
    struct Case
    {
        const char* name;
        const char16_t* bind2ip; // null: left at its default
        std::string bound;
    };
    const Case cases[] = {{"default", nullptr, "127.0.0.1"},
                          {"any", u"0.0.0.0", "127.0.0.1"},
                          {"set", u"127.0.0.2", "127.0.0.2"}};
    for (const Case& c : cases) {
        const std::string name = c.name;
        kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
        ASSERT_TRUE(rx);
        if (c.bind2ip) rx->setBind2ip(c.bind2ip);
        rx->setURI(kelTestURI(kelTestFreeRTPPort()));
        ASSERT_TRUE(rx->open()) << name;
        const kelString local = rx->portLocal();
        const int rtp = std::stoi(std::string(local.begin(), local.end()));
        for (const int port : {rtp, rtp + 1}) {
            const auto bound = kelTestUdpBoundAddresses(static_cast<uint16_t>(port));
            if (!bound) GTEST_SKIP() << "ss (iproute2) is not installed: cannot list the bound sockets";
            EXPECT_EQ(*bound, std::vector<std::string>{c.bound}) << name << ", port " << port;
        }
        rx->close();
    }
}
