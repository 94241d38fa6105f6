#include "net/sockets/kelSockets.h"

#include "core/kelLog.h"
#include "core/kelLogSink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

TEST(kelSocketLogTest, BindToATakenPortIsLoggedWithItsCodeAndAddress)
{
    logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone);
    kelUdpSocket first, second;
    first.setBindToIP(u"127.0.0.1");
    second.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(first.bindSocketToPort(0), 0);
    sockaddr_in bound{};
    ASSERT_EQ(first.getSockAddrBound(bound), 0);

    kelLogCapture capture;
    EXPECT_EQ(second.bindSocketToPort(ntohs(bound.sin_port)), 10048); // address in use
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"Socket error: 10048 binding to 127.0.0.1:" +
                                                        std::to_string(ntohs(bound.sin_port))});
    EXPECT_EQ(second.bindSocketToPort(0), 0);
    EXPECT_EQ(capture.lines().size(), 1u); // a bind that works reports nothing
}
