// The SNTP client against a real NTP server: chronyd, started here on
// 127.0.0.1 on a port of our choosing from a configuration of our own (local
// reference at stratum 10, no upstream servers, the system clock left
// alone), stopped by its PID. chronyd's own one-shot query (-Q) measures the
// same server, and both must see the same offset within a few ms.
#include "net/rtp/kelSocks_SNTP.h"

#include "core/kelCreate.h"
#include "core/kelTick.h"
#include "net/sockets/kelSockets.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* findChronyd()
{
    for (const char* p : {"/usr/sbin/chronyd", "/usr/bin/chronyd", "/sbin/chronyd"}) {
        if (::access(p, X_OK) == 0) return p;
    }
    return nullptr;
}

std::string userName()
{
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : "root";
}

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t freeUdpPort()
{
    kelUdpSocket s;
    s.setBindToIP(u"127.0.0.1");
    EXPECT_EQ(s.bindSocketToPort(0), 0);
    sockaddr_in a{};
    EXPECT_EQ(s.getSockAddrBound(a), 0);
    return ntohs(a.sin_port);
}

// Runs `argv` with stdout and stderr into `logPath`; the child's PID or -1.
pid_t spawn(const std::vector<std::string>& args, const std::string& logPath)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// Waits up to `timeoutMs` for `pid` to end; its exit status or -1.
int waitExit(pid_t pid, uint64_t timeoutMs)
{
    const uint64_t start = tickNow();
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        if (r < 0 || ticksSince(start) > timeoutMs) return -1;
        kelSleepMs(10);
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class kelSNTPChronyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        f_chronyd = findChronyd();
        if (f_chronyd == nullptr)
            GTEST_SKIP() << "chronyd not installed (scripts/install-deps installs chrony)";
        char tmpl[] = "/tmp/kel-sntp-interop-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        f_dir = tmpl;
        // chronyd drops to its own user unless told otherwise; keep ours so it
        // can use the files here.
        ::chmod(f_dir.c_str(), 0755);
        f_port = freeUdpPort();
        std::ofstream conf(f_dir + "/chrony.conf");
        conf << "port " << f_port << "\n"
             << "bindaddress 127.0.0.1\n"
             << "cmdport 0\n"
             << "allow 127.0.0.1\n"
             << "local stratum 10\n"
             << "pidfile " << f_dir << "/chronyd.pid\n";
        conf.close();
        std::vector<std::string> args{f_chronyd, "-d", "-x", "-f", f_dir + "/chrony.conf", "-u", userName()};
        if (::geteuid() != 0) args.push_back("-U");
        f_pid = spawn(args, f_dir + "/chronyd.log");
        ASSERT_GT(f_pid, 0) << "could not start " << f_chronyd;
    }

    void TearDown() override
    {
        if (f_pid > 0) {
            ::kill(f_pid, SIGTERM);
            if (waitExit(f_pid, 5000) < 0) {
                ::kill(f_pid, SIGKILL);
                waitExit(f_pid, 5000);
            }
        }
        if (!f_dir.empty()) std::system(("rm -rf '" + f_dir + "'").c_str());
    }

    // One run of our client against the server; true when it answered.
    bool queryOnce(kelSNTP& client)
    {
        const uint64_t runs = client.runsDone();
        if (client.synch(u"127.0.0.1") != 1) return false;
        const uint64_t start = tickNow();
        while (client.runsDone() == runs) {
            if (ticksSince(start) > 10000) return false;
            kelSleepMs(5);
        }
        return client.stratum() != 255;
    }

    // chronyd's one-shot measurement of the server, in ms (to add to the
    // local clock); false when it printed none.
    bool chronyOffset(double& ms)
    {
        const std::string log = f_dir + "/query.log";
        std::vector<std::string> args{f_chronyd,
                                      "-Q",
                                      "-x",
                                      "-t",
                                      "8",
                                      "-f",
                                      "/dev/null",
                                      "-u",
                                      userName(),
                                      "server 127.0.0.1 port " + std::to_string(f_port) +
                                          " iburst maxsamples 1",
                                      "pidfile " + f_dir + "/query.pid",
                                      "cmdport 0"};
        if (::geteuid() != 0) args.push_back("-U");
        const pid_t pid = spawn(args, log);
        if (pid <= 0) return false;
        if (waitExit(pid, 15000) < 0) {
            ::kill(pid, SIGKILL);
            waitExit(pid, 5000);
            return false;
        }
        const std::string out = readFile(log);
        std::smatch m;
        if (!std::regex_search(out, m, std::regex("System clock wrong by (-?[0-9.]+) seconds"))) {
            ADD_FAILURE() << "chronyd -Q printed no offset:\n" << out;
            return false;
        }
        ms = std::stod(m[1].str()) * 1000.0;
        return true;
    }

    const char* f_chronyd = nullptr;
    std::string f_dir;
    uint16_t f_port = 0;
    pid_t f_pid = -1;
};

} // namespace

TEST_F(kelSNTPChronyTest, ClientAgreesWithChronydOneShotQuery)
{
    kelOwned<kelSNTP> client = kelMakeOwned<kelSNTP>();
    ASSERT_NE(client, nullptr);
    client->setServerPort(f_port);

    // The server needs a moment to bind and to take up its local reference.
    bool answered = false;
    const uint64_t start = tickNow();
    while (!answered && ticksSince(start) < 20000)
        answered = queryOnce(*client);
    ASSERT_TRUE(answered) << "no answer from chronyd:\n" << readFile(f_dir + "/chronyd.log");
    EXPECT_EQ(client->stratum(), 10u);

    double reference = 0;
    ASSERT_TRUE(chronyOffset(reference));
    // Our clock is the server's clock: both see (almost) no offset, measured
    // with millisecond stamps on our side.
    EXPECT_NEAR(static_cast<double>(client->clockOffset()), reference, 5.0);
    // Millisecond stamps on our side against the server's finer ones: a
    // loopback delay may come out a millisecond or two below zero.
    EXPECT_GE(client->roundtripDelay(), -2);
    EXPECT_LT(client->roundtripDelay(), 1000);

    kelNTP_timestamp raw;
    kelNTP_timestamp fixed;
    client->nowNTP(raw, false);
    client->nowNTP(fixed, true);
    const double diff =
        static_cast<double>(static_cast<int64_t>(ntpToMs(fixed)) - static_cast<int64_t>(ntpToMs(raw)));
    EXPECT_NEAR(diff, static_cast<double>(client->clockOffset()), 2.0);
}
