#include "core/kelLog.h"

#include "core/kelFileUtils.h"
#include "core/kelUtf.h"
#include "core/kelUtilsState.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

namespace {

// Logging is process-wide: every case starts and ends with it switched off.
class kelLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reset();
        char tmpl[] = "/tmp/kelLogTestXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        f_dir = tmpl;
    }

    void TearDown() override
    {
        reset();
        std::system(("rm -rf " + f_dir).c_str());
    }

    static void reset()
    {
        logSettings(u"<none>", kelLogCallback{}, kelConsoleOff, 1, kelStampNone, 0, 0, 0, 0);
        setInfoMask(0);
    }

    // Collects the lines the callback receives.
    kelLogCallback collector()
    {
        return [this](const kelString& line) {
            const std::lock_guard<std::mutex> g(f_lock);
            f_lines.push_back(utf16ToUtf8(line));
        };
    }

    std::string readAll(const std::string& name) const
    {
        std::ifstream f(name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    std::string f_dir;
    std::mutex f_lock;
    std::vector<std::string> f_lines;
};

} // namespace

TEST_F(kelLogTest, StampsPrefixesAndTheRepeatedDate)
{
    ASSERT_TRUE(logSettings(u"<>", collector(), -1, -1, kelStampDateTime));
    logMessage(u"first");
    logMessage(u"second");
    logMessage(u"delta", -1, -1, kelStampTimeDelta, 1, 1);
    logMessage(u"bare", -1, -1, kelStampNone);
    ASSERT_EQ(f_lines.size(), 4u);
    const std::string time = R"(\d\d:\d\d:\d\d\.\d\d\d )";
    EXPECT_TRUE(std::regex_match(f_lines[0], std::regex(R"(\d{4}\.\d\d\.\d\d )" + time + ", first")))
        << f_lines[0];
    // The same date again shrinks to one space.
    EXPECT_TRUE(std::regex_match(f_lines[1], std::regex(" " + time + ", second"))) << f_lines[1];
    EXPECT_TRUE(std::regex_match(f_lines[2],
                                 std::regex(time + R"(, [ \d,]{5}\d, <[\d,]+> *, \[[0-9A-F]{5,}\], delta)")))
        << f_lines[2];
    EXPECT_EQ(f_lines[3], "bare");
}

TEST_F(kelLogTest, InfoMessagesNeedABitOfTheGlobalMask)
{
    setInfoMask(0x4);
    ASSERT_TRUE(logSettings(u"<>", collector()));
    infoMessage(u"masked out", 0x3);
    infoMessage(u"shares a bit", 0x6);
    infoMessage(u"global mask");
    // An exception from the callback stays inside the library.
    ASSERT_TRUE(logSettings(u"<>", [](const kelString&) { throw 1; }));
    infoMessage(u"survives");
    ASSERT_EQ(f_lines.size(), 2u);
    EXPECT_EQ(f_lines[0], "shares a bit");
    EXPECT_EQ(f_lines[1], "global mask");
}

TEST_F(kelLogTest, QueuedFileWritesLandWholeAndInOrder)
{
    const std::string name = f_dir + "/run.log";
    ASSERT_EQ(appendToFile(utf8ToUtf16(name), "old\r\n", 5), kelFileOk);
    ASSERT_TRUE(logSettings(u"  " + utf8ToUtf16(name) + u"  ", std::nullopt, -1, 1, kelStampNone));
    constexpr int kThreads = 2, kLines = 600; // more than the in-flight limit
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                logMessage(u"t" + utf8ToUtf16(std::to_string(t)) + u" line " +
                           utf8ToUtf16(std::to_string(i)));
        });
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(logFlush());

    const std::string text = readAll(name);
    ASSERT_EQ(text.rfind("old\r\n", 0), 0u); // the old content is kept
    std::vector<int> next(kThreads, 0);
    size_t pos = 5, lines = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(pos, end - pos);
        const int t = line[1] - '0';
        ASSERT_EQ(line, "t" + std::to_string(t) + " line " + std::to_string(next[size_t(t)]));
        ++next[size_t(t)];
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(lines, size_t(kThreads * kLines));
}

TEST_F(kelLogTest, UnicodeFilesAndDirectAppends)
{
    const std::string name = f_dir + "/u.log";
    ASSERT_TRUE(logSettings(utf8ToUtf16(name), std::nullopt, -1, 1, kelStampNone, 0, 0, 1));
    logMessage(u"\u00E9A");
    logMessage(u"direct", -1, -1, -1, -1, -1, kelLogNoQueue);
    ASSERT_TRUE(logFlush());
    EXPECT_EQ(readAll(name), std::string("\xE9\0A\0\r\0\n\0", 8));
    EXPECT_EQ(readAll(name + ".nol"), std::string("d\0i\0r\0e\0c\0t\0\r\0\n\0", 16));
    EXPECT_FALSE(logSettings(utf8ToUtf16(f_dir + "/no/such/dir.log")));
}

TEST_F(kelLogTest, ExitFinishesQueuedWrites)
{
    // A fresh process: the forked copy of this one would lack its writer
    // thread. It runs the fixture again, so the file is named after the
    // executable, not the fixture's folder.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string name = utf16ToUtf8(moduleNameWithExt(u"exit.log"));
    ::unlink(name.c_str());
    EXPECT_EXIT(
        {
            logSettings(utf8ToUtf16(name), std::nullopt, -1, 1, kelStampNone);
            for (int i = 0; i < 700; ++i)
                logMessage(u"queued");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string text = readAll(name);
    size_t lines = 0;
    for (size_t pos = 0; (pos = text.find("queued\r\n", pos)) != std::string::npos; pos += 8)
        ++lines;
    EXPECT_EQ(lines, 700u);
    EXPECT_EQ(text.size(), 700u * 8);
    ::unlink(name.c_str());
}

TEST(kelMessageHookTest, MessagesGoToTheProgramsHook)
{
    kelString seen;
    setMessageHook([&](const kelString& text, const kelString& caption, uint32_t flags, void*) {
        seen = caption + u"|" + text + (flags == kelMbIconError ? u"|error" : u"");
        return 1;
    });
    EXPECT_EQ(showMessage(u"text", u"cap", kelMbIconError), 1);
    EXPECT_EQ(seen, u"cap|text|error");
    setMessageHook([](const kelString&, const kelString&, uint32_t, void*) -> int { throw 2; });
    EXPECT_EQ(showMessage(u"x"), 0); // the exception stays inside
    setMessageHook({});
}
