#include "core/kelCheck.h"

#include "core/kelLog.h"
#include "core/kelLogSink.h"
#include "core/kelUtf.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <memory>

TEST(kelCheckTest, ConditionIsEvaluatedOnlyInBuildsWithChecks)
{
    int evaluated = 0;
    KEL_DCHECK(++evaluated > 0);
    EXPECT_EQ(evaluated, KEL_DCHECK_ON ? 1 : 0);
}

TEST(kelCheckTest, FailedCheckLogsConditionFileAndLineAndAborts)
{
    if (!KEL_DCHECK_ON) GTEST_SKIP() << "checks are compiled out of release builds";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kelStableTestDir dir("check-log");
    const std::string name = dir.file("check.log");
    const int items = 2;
    // With no log output the line still reaches standard error.
    EXPECT_DEATH(
        {
            logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone);
            KEL_DCHECK(items > 2);
        },
        "check failed: items > 2 at .*kelCheckTest\\.cpp:[0-9]+");
    EXPECT_DEATH(
        {
            logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone);
            logAddSink(std::make_shared<kelLogFileSink>(utf8ToUtf16(name)));
            KEL_DCHECK(name.empty());
        },
        "");
    const std::string text = kelReadBytes(name);
    EXPECT_EQ(text.rfind("check failed: name.empty() at ", 0), 0u) << text;
    EXPECT_NE(text.find("kelCheckTest.cpp:"), std::string::npos) << text;
}
