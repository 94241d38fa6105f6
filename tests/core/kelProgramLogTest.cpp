#include "core/kelProgramLog.h"

#include "core/kelLog.h"
#include "core/kelUtf.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(kelProgramLogTest, FileGoesUnderTheStateFolderInAFolderOfTheProgram)
{
    EXPECT_EQ(programLogFileName(u"quillnet", "/xdg/state/", u"/home/u"),
              u"/xdg/state/quillnet/quillnet.log");
    // Unset, empty or relative: the default under the home folder.
    EXPECT_EQ(programLogFileName(u"panomix", nullptr, u"/home/u"),
              u"/home/u/.local/state/panomix/panomix.log");
    EXPECT_EQ(programLogFileName(u"panomix", "", u"/home/u/"), u"/home/u/.local/state/panomix/panomix.log");
    EXPECT_EQ(programLogFileName(u"panomix", "state", u"/home/u"),
              u"/home/u/.local/state/panomix/panomix.log");
    // No folder at all, or no program: no file.
    EXPECT_EQ(programLogFileName(u"quillnet", "relative", u""), u"");
    EXPECT_EQ(programLogFileName(u"", "/xdg/state", u"/home/u"), u"");
}

TEST(kelProgramLogTest, StartedLogWritesStandardErrorAndTheFileMadeInItsFolder)
{
    // A process of its own: the program's sinks stay for the life of the
    // process, and the environment change must not leak into other cases.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kelStableTestDir dir("proglog");
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.file("state");
    EXPECT_EXIT(
        {
            ::setenv("XDG_STATE_HOME", state.c_str(), 1);
            logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone);
            const kelString name = startProgramLog(u"kelprog");
            logFailure("started at " + utf16ToUtf8(name));
            std::exit(name.empty() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "started at .*/state/kelprog/kelprog.log");
    EXPECT_EQ(kelReadBytes(state + "/kelprog/kelprog.log"), "started at " + state + "/kelprog/kelprog.log\n");
}
