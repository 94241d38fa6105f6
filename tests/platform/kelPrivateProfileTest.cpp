#include "platform/kelPrivateProfile.h"

#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::u16string keyName(int writer, int i)
{
    const std::string s = "w" + std::to_string(writer) + "." + std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

class kelPrivateProfileTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(f_tmp.path().empty()); }

    std::string bytes() const { return kelReadBytes(f_file); }

    // Counts this process's descriptors open on `name`: how a test sees that
    // a writer thread has opened the file and is waiting for its lock.
    int openCount(const std::string& name) const
    {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            if (std::filesystem::read_symlink(e.path(), ec) == name) ++n;
        }
        return n;
    }

    kelTempDir f_tmp;
    std::string f_dir = f_tmp.path();
    std::string f_file = f_tmp.file("prog.ini");
};

} // namespace

TEST_F(kelPrivateProfileTest, FirstWriteCreatesUtf16LeFileWithBomAndCrLf)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"settings", u"URI", u"rtp://127.0.0.1:5006", f_file));
    ASSERT_TRUE(kelWritePrivateProfileString(u"settings", u"name", u"Ж😀", f_file));
    EXPECT_EQ(bytes(), kelUtf16LeFile(u"[settings]\r\nURI=rtp://127.0.0.1:5006\r\nname=Ж😀\r\n"));
    EXPECT_EQ(kelGetPrivateProfileString(u"SETTINGS", u"name", u"", 100, f_file), u"Ж😀");
    EXPECT_EQ(kelGetPrivateProfileString(u"settings", u"URI", u"", 6, f_file), u"rtp:/");
    EXPECT_EQ(kelGetPrivateProfileString(u"settings", u"none", u"dflt", 100, f_file), u"dflt");
    EXPECT_EQ(kelGetPrivateProfileString(u"settings", u"URI", u"dflt", 100, f_dir + "/none.ini"), u"dflt");
}

TEST_F(kelPrivateProfileTest, ConcurrentWritersFromThreadsAndProcessesLoseNoUpdate)
{
    constexpr int kThreads = 3;
    constexpr int kProcesses = 2;
    constexpr int kKeys = 40;
    // Children first, while this process has no other threads.
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < kKeys; ++i)
                ok = kelWritePrivateProfileString(u"s", keyName(100 + p, i), u"v", f_file, 20000) && ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kKeys; ++i)
                if (!kelWritePrivateProfileString(u"s", keyName(t, i), u"v", f_file, 20000)) ++failures;
        });
    for (auto& th : threads)
        th.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kelGetPrivateProfileSection(u"s", f_file).size(), size_t(kKeys * (kThreads + kProcesses)));
    for (int i = 0; i < kKeys; ++i) {
        EXPECT_EQ(kelGetPrivateProfileString(u"s", keyName(0, i), u"", 10, f_file), u"v");
        EXPECT_EQ(kelGetPrivateProfileString(u"s", keyName(101, i), u"", 10, f_file), u"v");
    }
}

TEST_F(kelPrivateProfileTest, WriterWaitingOnAFileReplacedMeanwhileWritesTheNewOne)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"old", u"1", f_file));
    const int held = ::open(f_file.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    std::atomic<bool> ok{false};
    std::thread writer([&] { ok = kelWritePrivateProfileString(u"s", u"mine", u"2", f_file, 20000); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (openCount(f_file) < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    ASSERT_EQ(openCount(f_file), 2) << "the writer never opened the file";

    // Another program replaces the file while the writer waits on the old one.
    kelWriteBytes(f_dir + "/replacement", kelUtf16LeFile(u"[s]\r\nother=3\r\n"));
    ASSERT_EQ(::rename((f_dir + "/replacement").c_str(), f_file.c_str()), 0);
    ::close(held);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(bytes(), kelUtf16LeFile(u"[s]\r\nother=3\r\nmine=2\r\n"));
}

TEST_F(kelPrivateProfileTest, HeldLockTimesOutAsAFailure)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"1", f_file));
    const std::string before = bytes();
    const int held = ::open(f_file.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    EXPECT_FALSE(kelWritePrivateProfileString(u"s", u"k", u"2", f_file, 30));
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"dflt", 10, f_file, 30), u"dflt");
    ::close(held);
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"dflt", 10, f_file), u"1");
}

TEST_F(kelPrivateProfileTest, RewriteKeepsModeAndLinksAndLeavesOddFilesAlone)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"1", f_file));
    ASSERT_EQ(::chmod(f_file.c_str(), 0600), 0);
    const std::string link = f_dir + "/link.ini";
    ASSERT_EQ(::symlink(f_file.c_str(), link.c_str()), 0);
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"2", link));
    struct stat st
    {
    };
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(f_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"", 10, f_file), u"2");

    // A file with a second name is rewritten in place, so both names keep it.
    const std::string hard = f_dir + "/hard.ini";
    ASSERT_EQ(::link(f_file.c_str(), hard.c_str()), 0);
    EXPECT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"3", hard));
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"", 10, f_file), u"3");
    EXPECT_EQ(kelReadBytes(hard), bytes());

    // Whatever this is, it is not a settings file: leave it alone.
    const std::string big = f_dir + "/big.ini";
    kelWriteBytes(big, "[s]\r\n");
    ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kelProfileMaxFileSize) + 1), 0);
    EXPECT_FALSE(kelWritePrivateProfileString(u"s", u"k", u"1", big));
    EXPECT_EQ(std::filesystem::file_size(big), kelProfileMaxFileSize + 1);
    const std::string fifo = f_dir + "/fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"dflt", 10, fifo), u"dflt");
    EXPECT_FALSE(kelWritePrivateProfileString(u"s", u"k", u"1", fifo));
}
