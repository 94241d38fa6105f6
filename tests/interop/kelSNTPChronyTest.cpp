// The SNTP client against a real NTP server: chronyd, started here on
// 127.0.0.1 on a port of our choosing from a configuration of our own (local
// reference at stratum 10, no upstream servers, the system clock left
// alone), stopped by its PID. chronyd's own one-shot query (-Q) measures the
// same server, and both must see the same offset within a few ms. Run
// again under libfaketime, the server's clock shifted either way, the
// client must follow each new offset, back to 0 as well.
#include "net/rtp/kelSocks_SNTP.h"

#include "core/kelCreate.h"
#include "net/sockets/kelSockets.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

const char* findChronyd()
{
    for (const char* p : {"/usr/sbin/chronyd", "/usr/bin/chronyd", "/sbin/chronyd"}) {
        if (::access(p, X_OK) == 0) return p;
    }
    return nullptr;
}

const char* findFaketime()
{
    for (const char* p :
         {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
          "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1"}) {
        if (::access(p, R_OK) == 0) return p;
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

class kelSNTPChronyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        f_chronyd = findChronyd();
        if (f_chronyd == nullptr)
            GTEST_SKIP() << "chronyd not installed (scripts/install-deps installs chrony)";
        ASSERT_FALSE(f_tmp.path().empty());
        f_dir = f_tmp.path();
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
        ASSERT_TRUE(startServer(nullptr)) << "could not start " << f_chronyd;
    }

    // Starts chronyd, with its clock shifted by `fakeOffset` (libfaketime's
    // "+1.5" or "-1.5" seconds) when given. env replaces itself with chronyd,
    // so the PID stays the server's.
    bool startServer(const char* fakeOffset, const char* faketimeLib = nullptr)
    {
        std::vector<std::string> args;
        if (fakeOffset != nullptr) {
            args = {"/usr/bin/env", std::string("LD_PRELOAD=") + faketimeLib,
                    std::string("FAKETIME=") + fakeOffset, "FAKETIME_DONT_FAKE_MONOTONIC=1"};
        }
        for (const std::string& a :
             std::vector<std::string>{f_chronyd, "-d", "-x", "-f", f_dir + "/chrony.conf", "-u", userName()})
            args.push_back(a);
        if (::geteuid() != 0) args.push_back("-U");
        return f_server.start(args, f_dir + "/chronyd.log");
    }
    // Stopped by its PID before its directory goes.
    void TearDown() override { f_server.stop(); }

    // One run of our client against the server; true when it answered.
    bool queryOnce(kelSNTP& client)
    {
        const uint64_t runs = client.runsDone();
        if (client.synch(u"127.0.0.1") != 1) return false;
        return kelTestWaitUntil([&] { return client.runsDone() != runs; }) && client.stratum() != 255;
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
        kelTestProcess query;
        if (!query.start(args, log) || !query.waitExit(15000)) return false;
        const std::string out = kelTestProcess::readFile(log);
        std::smatch m;
        if (!std::regex_search(out, m, std::regex("System clock wrong by (-?[0-9.]+) seconds"))) {
            ADD_FAILURE() << "chronyd -Q printed no offset:\n" << out;
            return false;
        }
        ms = std::stod(m[1].str()) * 1000.0;
        return true;
    }

    const char* f_chronyd = nullptr;
    kelTempDir f_tmp;
    std::string f_dir;
    uint16_t f_port = 0;
    kelTestProcess f_server;
};

// How far the client's corrected NTP time lies from its uncorrected one, ms.
double appliedCorrectionMs(kelSNTP& client)
{
    kelNTP_timestamp raw;
    kelNTP_timestamp fixed;
    client.nowNTP(raw, false);
    client.nowNTP(fixed, true);
    return static_cast<double>(static_cast<int64_t>(ntpToMs(fixed)) - static_cast<int64_t>(ntpToMs(raw)));
}

} // namespace

TEST_F(kelSNTPChronyTest, ClientAgreesWithChronydOneShotQuery)
{
    kelOwned<kelSNTP> client = kelMakeOwned<kelSNTP>();
    ASSERT_NE(client, nullptr);
    client->setServerPort(f_port);

    // The server needs a moment to bind and to take up its local reference.
    ASSERT_TRUE(kelTestWaitUntil([&] { return queryOnce(*client); }, 20000)) << "no answer from chronyd:\n"
                                                                             << f_server.log();
    EXPECT_EQ(client->stratum(), 10u);

    double reference = 0;
    ASSERT_TRUE(chronyOffset(reference));
    // Our clock is the server's clock: both see (almost) no offset.
    EXPECT_NEAR(static_cast<double>(client->clockOffset()), reference, 5.0);
    // Stamps at full resolution on both sides: a loopback delay never comes
    // out below zero.
    EXPECT_GE(client->roundtripDelay(), 0);
    EXPECT_LT(client->roundtripDelay(), 1000);

    EXPECT_NEAR(appliedCorrectionMs(*client), static_cast<double>(client->clockOffset()), 2.0);
}

TEST_F(kelSNTPChronyTest, OffsetFollowsTheServerBothWaysAcrossResyncs)
{
    const char* faketime = findFaketime();
    if (faketime == nullptr)
        GTEST_SKIP() << "libfaketime not installed (scripts/install-deps installs faketime)";
    kelOwned<kelSNTP> client = kelMakeOwned<kelSNTP>();
    ASSERT_NE(client, nullptr);
    client->setServerPort(f_port);

    struct Step
    {
        const char* fake; // the server's shift, none for its own clock
        double offsetMs;
    };
    // Each step after a shifted one checks that a measured offset of (about)
    // 0 replaces the old correction. The shifts are over a second: the
    // server takes the arrival time from the kernel, whose clock the preload
    // does not shift, unless it lies that far from its own.
    const Step steps[] = {{nullptr, 0},    {"+1.5", 1500}, {nullptr, 0},
                          {"-1.5", -1500}, {nullptr, 0},   {"+2.5", 2500}};
    bool first = true;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.fake != nullptr ? step.fake : "unshifted");
        if (!first) {
            f_server.stop();
            ASSERT_TRUE(startServer(step.fake, faketime));
        }
        first = false;
        ASSERT_TRUE(kelTestWaitUntil([&] { return queryOnce(*client); }, 20000))
            << "no answer from chronyd:\n"
            << f_server.log();
        EXPECT_EQ(client->stratum(), 10u);
        // Loopback: the path adds well under a millisecond each way.
        EXPECT_NEAR(static_cast<double>(client->clockOffset()), step.offsetMs, 10.0);
        EXPECT_GE(client->roundtripDelay(), 0);
        EXPECT_LT(client->roundtripDelay(), 1000);
        EXPECT_NEAR(appliedCorrectionMs(*client), step.offsetMs, 12.0);
    }
}
