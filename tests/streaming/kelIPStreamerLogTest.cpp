#include "streaming/kelIPStreaming.h"

#include "core/kelLog.h"
#include "core/kelLogSink.h"
#include "tests/streaming/kelIPTestNet.h"

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
    first->close();
}
