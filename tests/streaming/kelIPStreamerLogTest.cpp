#include "streaming/kelIPStreaming.h"

#include "core/kelLog.h"
#include "core/kelLogSink.h"
#include "core/kelResultText.h"
#include "tests/support/kelTestNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

TEST(kelIPStreamerLogTest, FailedOpenLogsItsDescriptionErrorOnce)
{
    logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone);
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> first(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPTransmitter> second(kelCreate<TkelIPTransmitter>());
    first->setURI(kelTestURI(port));
    second->setURI(kelTestURI(port));
    ASSERT_TRUE(first->open());

    kelLogCapture capture;
    EXPECT_FALSE(second->open());
    EXPECT_EQ(second->descriptionError(), u"Socket error: 10048");
    const auto lines = capture.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "IP streamer: Socket error: 10048"), 1) << lines.size();
    // The socket layer said where it failed.
    EXPECT_TRUE(capture.contains("Socket error: 10048 binding to 127.0.0.1:" + std::to_string(port)));
    // and the code comes with its text.
    EXPECT_TRUE(capture.contains("10048 (address already in use)"));
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
    kelLogCapture log;
    EXPECT_FALSE(rx->open());
    // The hole ping that follows the failed bind has no socket to go
    // through; that must not hide the bind's own error.
    EXPECT_EQ(rx->descriptionError(), u"Socket error: 10048");
    EXPECT_TRUE(log.contains("10048 (address already in use)"));
    holder->close();
}

TEST(kelIPStreamerLogTest, RefusedURILogsItsCodeWithTheText)
{
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelLogCapture log;
    rx->setURI(u"rtp://bad host:5012");
    EXPECT_EQ(rx->descriptionError(), u"Invalid URI, err=12005");
    EXPECT_TRUE(log.contains("12005 (invalid URL)"));
}
