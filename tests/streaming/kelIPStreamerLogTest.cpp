#include "streaming/kelIPStreaming.h"

#include "core/kelResultText.h"
#include "tests/streaming/kelIPTestNet.h"
#include "tests/support/kelTestLogCapture.h"

#include <gtest/gtest.h>

#include <string>

TEST(kelIPStreamerLogTest, FailedOpenLogsTheCodeWithItsTextAndKeepsTheFixedDescription)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> first(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPTransmitter> second(kelCreate<TkelIPTransmitter>());
    first->setURI(kelTestURI(port));
    second->setURI(kelTestURI(port));
    ASSERT_TRUE(first->open());
    kelTestLogCapture log;
    EXPECT_FALSE(second->open());
    EXPECT_EQ(second->descriptionError(), u"Socket error: 10048");
    EXPECT_TRUE(log.contains(u"10048 (address already in use)"));
    first->close();
}

TEST(kelIPStreamerLogTest, TheTransmittersCommandResultHasAText)
{
    EXPECT_EQ(kelResultText(kelTransCmdRootFailed), u"root transmitter could not open");
    EXPECT_EQ(kelResultText(kelE_FAIL), u"unspecified failure");
    EXPECT_EQ(kelResultText(kelS_OK), u"success");
}

TEST(kelIPStreamerLogTest, ReceiverThatCannotBindReportsTheBindErrorNotALaterSendError)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> holder(kelCreate<TkelIPTransmitter>());
    holder->setURI(kelTestURI(port));
    ASSERT_TRUE(holder->open());
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    rx->setURI(kelTestURI(port));
    const std::string taken = std::to_string(port);
    rx->setBind2port(kelString(taken.begin(), taken.end()));
    kelTestLogCapture log;
    EXPECT_FALSE(rx->open());
    // The hole ping that follows the failed bind has no socket to go
    // through; that must not hide the bind's own error.
    EXPECT_EQ(rx->descriptionError(), u"Socket error: 10048");
    EXPECT_TRUE(log.contains(u"10048 (address already in use)"));
    holder->close();
}

TEST(kelIPStreamerLogTest, RefusedURILogsItsCodeWithTheText)
{
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelTestLogCapture log;
    rx->setURI(u"rtp://bad host:5012");
    EXPECT_EQ(rx->descriptionError(), u"Invalid URI, err=12005");
    EXPECT_TRUE(log.contains(u"12005 (invalid URL)"));
}
