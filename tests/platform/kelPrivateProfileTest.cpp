#include "platform/kelPrivateProfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string utf16le(const std::u16string& s)
{
    std::string out = "\xFF\xFE";
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

std::u16string keyName(int writer, int i)
{
    const std::string s = "w" + std::to_string(writer) + "." + std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

class kelPrivateProfileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kelProfileXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        f_dir = tmpl;
        f_file = f_dir + "/prog.ini";
    }
    void TearDown() override
    {
        ::chmod(f_dir.c_str(), 0700);
        std::filesystem::remove_all(f_dir);
    }

    std::string bytes(const std::string& name = {}) const
    {
        std::ifstream in(name.empty() ? f_file : name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void writeBytes(const std::string& data, const std::string& name = {}) const
    {
        std::ofstream(name.empty() ? f_file : name, std::ios::binary) << data;
    }

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

    std::string f_dir;
    std::string f_file;
};

} // namespace

TEST_F(kelPrivateProfileTest, FirstWriteCreatesUtf16LeFileWithBomAndCrLf)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"settings", u"URI", u"rtp://127.0.0.1:5006", f_file));
    ASSERT_TRUE(kelWritePrivateProfileString(u"settings", u"name", u"Ж😀", f_file));
    EXPECT_EQ(bytes(), utf16le(u"[settings]\r\nURI=rtp://127.0.0.1:5006\r\nname=Ж😀\r\n"));
    EXPECT_EQ(kelGetPrivateProfileString(u"SETTINGS", u"name", u"", 100, f_file), u"Ж😀");
}

TEST_F(kelPrivateProfileTest, MissingFileSectionOrKeyGiveTheDefaultCutToTheBuffer)
{
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"dflt", 100, f_file), u"dflt");
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"0123456789", f_file));
    EXPECT_EQ(kelGetPrivateProfileString(u"t", u"k", u"dflt", 100, f_file), u"dflt");
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"x", u"dflt", 100, f_file), u"dflt");
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"", 6, f_file), u"01234");
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"x", u"default", 3, f_file), u"de");
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"", 0, f_file), u"");
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"d", 100, ""), u"d");
}

TEST_F(kelPrivateProfileTest, RefusedValueLeavesTheFileAsItWas)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"URI", u"rtp://127.0.0.1:5006", f_file));
    const std::string before = bytes();
    EXPECT_FALSE(kelWritePrivateProfileString(u"s", u"URI", u"x\r\n[s]\r\nTX=-1", f_file));
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(kelGetPrivateProfileSection(u"s", f_file), std::vector<std::u16string>{u"URI=rtp://127.0.0.1:5006"});
}

TEST_F(kelPrivateProfileTest, CreateWritesOnlyTheBomAndNeverTouchesAnExistingFile)
{
    ASSERT_TRUE(kelCreatePrivateProfile(f_file));
    EXPECT_EQ(bytes(), "\xFF\xFE");
    writeBytes("[s]\nk=1\n");
    ASSERT_TRUE(kelCreatePrivateProfile(f_file));
    EXPECT_EQ(bytes(), "[s]\nk=1\n");
    EXPECT_FALSE(kelCreatePrivateProfile(f_dir + "/missing/dir/x.ini"));
}

TEST_F(kelPrivateProfileTest, SectionsAreReplacedAndDeleted)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"a", u"x", u"1", f_file));
    ASSERT_TRUE(kelWritePrivateProfileString(u"b", u"y", u"2", f_file));
    ASSERT_TRUE(kelWritePrivateProfileSection(u"a", {u"p=1", u"q=2"}, f_file));
    EXPECT_EQ(kelGetPrivateProfileSection(u"A", f_file), (std::vector<std::u16string>{u"p=1", u"q=2"}));
    EXPECT_FALSE(kelWritePrivateProfileSection(u"a", {u"[b]"}, f_file));
    ASSERT_TRUE(kelDeletePrivateProfileKey(u"a", u"p", f_file));
    ASSERT_TRUE(kelDeletePrivateProfileSection(u"b", f_file));
    EXPECT_EQ(bytes(), utf16le(u"[a]\r\nq=2\r\n"));
    EXPECT_TRUE(kelDeletePrivateProfileKey(u"a", u"p", f_dir + "/none.ini"));
    EXPECT_FALSE(std::filesystem::exists(f_dir + "/none.ini"));
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
    for (auto& th : threads) th.join();
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
    while (openCount(f_file) < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    ASSERT_EQ(openCount(f_file), 2) << "the writer never opened the file";

    // Another program replaces the file while the writer waits on the old one.
    writeBytes(utf16le(u"[s]\r\nother=3\r\n"), f_dir + "/replacement");
    ASSERT_EQ(::rename((f_dir + "/replacement").c_str(), f_file.c_str()), 0);
    ::close(held);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(bytes(), utf16le(u"[s]\r\nother=3\r\nmine=2\r\n"));
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

TEST_F(kelPrivateProfileTest, RewriteKeepsModeLinksAndHugeFiles)
{
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"1", f_file));
    ASSERT_EQ(::chmod(f_file.c_str(), 0600), 0);
    const std::string link = f_dir + "/link.ini";
    ASSERT_EQ(::symlink(f_file.c_str(), link.c_str()), 0);
    ASSERT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"2", link));
    struct stat st{};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(f_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"", 10, f_file), u"2");

    // In a directory that takes no new files the file is rewritten in place.
    ASSERT_EQ(::chmod(f_dir.c_str(), 0500), 0);
    EXPECT_TRUE(kelWritePrivateProfileString(u"s", u"k", u"3", f_file));
    EXPECT_EQ(kelGetPrivateProfileString(u"s", u"k", u"", 10, f_file), u"3");
    ASSERT_EQ(::chmod(f_dir.c_str(), 0700), 0);

    // Whatever this is, it is not a settings file: leave it alone.
    const std::string big = f_dir + "/big.ini";
    writeBytes("[s]\r\n", big);
    ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kelProfileMaxFileSize) + 1), 0);
    EXPECT_FALSE(kelWritePrivateProfileString(u"s", u"k", u"1", big));
    EXPECT_EQ(std::filesystem::file_size(big), kelProfileMaxFileSize + 1);
}
