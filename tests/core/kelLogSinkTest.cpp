#include "core/kelLogSink.h"

#include "core/kelLog.h"
#include "core/kelStringList.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using lines = std::vector<std::string>;

// Logging is process-wide: every case starts and ends with the console, the
// callback and the log file off and no stamps, so the sinks see bare text.
class kelLogSinkTest : public ::testing::Test
{
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone, 0, 0, 0, 0);
    }
};

} // namespace

TEST_F(kelLogSinkTest, CaptureCollectsEveryThreadOnlyWhileItLives)
{
    EXPECT_FALSE(logFailure("nobody hears this"));
    lines seen;
    {
        kelLogCapture capture;
        std::thread other([] { logFailure("from another thread"); });
        other.join();
        EXPECT_TRUE(logFailure("caf\xC3\xA9"));
        seen = capture.lines();
    }
    EXPECT_EQ(seen, (lines{"from another thread", "caf\xC3\xA9"}));
    kelLogCapture later;
    logMessage(u"after");
    EXPECT_EQ(later.lines(), lines{"after"});
}

TEST_F(kelLogSinkTest, FileSinkAppendsEachLineAtOnceUntilRemoved)
{
    kelTempDir dir;
    const std::string name = dir.file("program.log");
    kelWriteBytes(name, "kept\n");
    auto sink = std::make_shared<kelLogFileSink>(utf8ToUtf16(name));
    ASSERT_TRUE(sink->isOpen());
    const kelLogSinkId id = logAddSink(sink);
    logFailure("first");
    logMessage(u"second \u20ac");
    // In the file when logging returned: no flush, no wait.
    EXPECT_EQ(kelReadBytes(name), "kept\nfirst\nsecond \xE2\x82\xAC\n");
    logRemoveSink(id);
    logFailure("not written");
    EXPECT_EQ(kelReadBytes(name), "kept\nfirst\nsecond \xE2\x82\xAC\n");
    EXPECT_FALSE(kelLogFileSink(utf8ToUtf16(dir.file("no/such/folder.log"))).isOpen());
}

TEST_F(kelLogSinkTest, ExceptionsCaughtAtLibraryBoundariesAreLoggedOnceWithTheirText)
{
    kelLogCapture capture;
    kelStringList list;
    list.setOnItemRelease([](intptr_t, uintptr_t&) { throw std::logic_error("handler bug"); });
    ASSERT_EQ(list.add(u"item"), 0);
    list.clear();
    EXPECT_EQ(list.count(), 0);
    try {
        throw 42;
    } catch (...) {
        logCaught("an int thrower");
    }
    EXPECT_EQ(capture.lines(), (lines{"exception caught in kelList onItemRelease handler: handler bug",
                                      "exception caught in an int thrower: an exception of unknown type"}));
}

TEST_F(kelLogSinkTest, ThrowingLogCallbackIsReportedToTheOtherOutputsWithoutRecursion)
{
    int calls = 0;
    ASSERT_TRUE(logSettings(u"<>", [&](const kelString&) {
        ++calls;
        throw std::runtime_error("callback bug");
    }));
    kelLogCapture capture;
    logFailure("one failure");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(capture.lines(), (lines{"one failure", "exception caught in the log callback: callback bug"}));
}

TEST_F(kelLogSinkTest, FormattedFailureIsCutAtItsBufferEnd)
{
    kelLogCapture capture;
    logFailuref("code %d at %s", 10048, "127.0.0.1:5004");
    logFailuref("%s", std::string(3000, 'x').c_str());
    EXPECT_EQ(capture.lines(), (lines{"code 10048 at 127.0.0.1:5004", std::string(1023, 'x')}));
}

TEST_F(kelLogSinkTest, CallbackThatLogsReachesTheOtherOutputsInsteadOfItself)
{
    int calls = 0;
    ASSERT_TRUE(logSettings(u"<>", [&](const kelString& line) {
        ++calls;
        logMessage(u"echo of " + line);
    }));
    kelLogCapture capture;
    logMessage(u"once");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(capture.lines(), (lines{"once", "echo of once"}));
}
