#include "streaming/kelIPStreaming.h"

#include "core/kelLog.h"
#include "core/kelResultText.h"
#include "tests/streaming/kelIPTestNet.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

// Collects log lines for one test and removes itself afterwards.
class LogCapture
{
public:
    LogCapture()
    {
        (void)logSettings(u"<>", [this](const kelString& line) {
            std::lock_guard lock(f_mutex);
            f_lines.push_back(line);
        });
    }
    ~LogCapture() { (void)logSettings(u"<>", kelLogCallback{}); }

    bool contains(const kelString& part)
    {
        std::lock_guard lock(f_mutex);
        for (const kelString& line : f_lines)
            if (line.find(part) != kelString::npos) return true;
        return false;
    }

private:
    std::mutex f_mutex;
    std::vector<kelString> f_lines;
};

} // namespace

TEST(kelIPStreamerLogTest, FailedOpenLogsTheCodeWithItsTextAndKeepsTheFixedDescription)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> first(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPTransmitter> second(kelCreate<TkelIPTransmitter>());
    first->setURI(kelTestURI(port));
    second->setURI(kelTestURI(port));
    ASSERT_TRUE(first->open());
    LogCapture log;
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
