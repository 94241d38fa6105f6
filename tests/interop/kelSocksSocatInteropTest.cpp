// The socket manager against socat on 127.0.0.1, in both modes: a file sent
// and the connection closed arrives whole before the disconnect; a forking
// echo server answers a client thread; datagrams from many source ports
// each make a party of their own; and once done, ss lists no connection of
// ours still open. socat is started here and stopped by its PID.
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestSocks.h"

#include "core/kelCreate.h"
#include "net/sockets/kelSockets.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

class kelSocksSocatTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (!kelTestProcess::available("socat"))
            GTEST_SKIP() << "socat is not installed (apt-get install socat)";
        socks.reset(kelCreate<kelSocks>(4, GetParam()));
        ASSERT_TRUE(socks);
        rec.attach(*socks);
    }

    // Connections in `states` (an ss state filter) with local or remote
    // port `port`; -1 when ss is missing.
    static int ssCount(uint16_t port, const std::string& states)
    {
        if (!kelTestProcess::available("ss")) return -1;
        const std::string p = std::to_string(port);
        auto out = kelTestProcess::filter(
            "ss -Htn state " + states + " '( sport = :" + p + " or dport = :" + p + " )'", "");
        if (!out) return -1;
        int n = 0;
        for (char c : *out)
            n += c == '\n';
        return n;
    }

    kelTempDir dir;
    kelTestSocksRecorder rec;
    kelOwned<kelSocks> socks;
};

} // namespace

TEST_P(kelSocksSocatTest, AFileSentAndClosedArrivesWholeBeforeTheDisconnect)
{
    const std::string payload = kelTestSocksPattern(1 << 20, 5);
    kelWriteBytes(dir.file("f"), payload);
    const uint32_t id = socks->createServer(0, kelIPPROTO_TCP, true, 16, 0, u"127.0.0.1");
    ASSERT_TRUE(rec.waitFor(kelseServerListen));
    const uint16_t port = kelTestSocksPort(*socks, id);
    kelTestProcess socat;
    ASSERT_TRUE(socat.start({"socat", "-u", "FILE:" + dir.file("f"), "TCP:127.0.0.1:" + std::to_string(port)},
                            dir.file("log")));
    ASSERT_TRUE(rec.waitFor(kelseServerDisconnect, 1, 30000)) << socat.log();
    EXPECT_TRUE(socat.waitExit(10000));
    const std::string got = rec.data();
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload);
    EXPECT_GT(rec.indexOf(kelseServerDisconnect), rec.lastIndexOf(kelseServerData));
    if (ssCount(port, "all") < 0) GTEST_SKIP() << "ss (iproute2) is missing: the leftover check was not made";
    EXPECT_EQ(ssCount(port, "established"), 0);
    EXPECT_EQ(ssCount(port, "close-wait"), 0);
}

TEST_P(kelSocksSocatTest, AClientThreadIsEchoedByAForkingServer)
{
    uint16_t port = 0;
    {
        kelTestFd probe = kelTestFd::tcpListen(port);
    }
    kelTestProcess socat;
    ASSERT_TRUE(socat.start(
        {"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork", "PIPE"},
        dir.file("log")));
    ASSERT_TRUE(kelTestWaitUntil([&] { return kelTestFd::tcpConnect(port).get() >= 0; })) << socat.log();
    const uint32_t id = socks->createConnection(u"127.0.0.1", port, kelIPPROTO_TCP);
    ASSERT_TRUE(rec.waitFor(kelseClientConnect));
    const uint32_t connId = static_cast<uint32_t>(rec.first(kelseClientConnect).connId);
    std::string sent;
    for (int i = 0; i < 50; ++i) {
        const std::string part = kelTestSocksPattern(1000, static_cast<unsigned>(i));
        ASSERT_EQ(socks->sendData(id, part.data(), static_cast<uint32_t>(part.size()), connId), 0);
        sent += part;
    }
    ASSERT_TRUE(kelTestWaitUntil([&] { return rec.data().size() >= sent.size(); }));
    EXPECT_TRUE(rec.data() == sent);
    EXPECT_TRUE(socks->closeThread(id));
    EXPECT_EQ(rec.count(kelseClientDisconnect), 1u);
    socat.stop();
    // Our side left nothing open behind.
    if (ssCount(port, "all") < 0) GTEST_SKIP() << "ss (iproute2) is missing: the leftover check was not made";
    EXPECT_TRUE(kelTestWaitUntil([&] { return ssCount(port, "established") == 0; }));
}

TEST_P(kelSocksSocatTest, DatagramsFromManyPortsMakeAPartyEach)
{
    const uint32_t id = socks->createServer(0, kelIPPROTO_UDP, true, 5, 0, u"127.0.0.1");
    ASSERT_TRUE(rec.waitFor(kelseServerListen));
    const uint16_t port = kelTestSocksPort(*socks, id);
    const int senders = 12;
    std::map<std::string, bool> expected;
    for (int i = 0; i < senders; ++i) {
        const std::string body =
            "sender " + std::to_string(i) + " " + kelTestSocksPattern(1500, static_cast<unsigned>(i));
        const std::string f = dir.file("d" + std::to_string(i));
        kelWriteBytes(f, body);
        expected[body] = false;
        EXPECT_EQ(kelTestProcess::runToEnd(
                      {"socat", "-u", "FILE:" + f, "UDP-SENDTO:127.0.0.1:" + std::to_string(port)}, 10000),
                  0);
    }
    ASSERT_TRUE(rec.waitFor(kelseServerData, senders));
    EXPECT_EQ(rec.count(kelseServerConnect), static_cast<size_t>(senders));
    for (const auto& ev : rec.events()) {
        if (ev.event != kelseServerData) continue;
        ASSERT_TRUE(expected.count(ev.data)) << ev.data.size() << " bytes";
        expected[ev.data] = true;
    }
    for (const auto& [body, seen] : expected)
        EXPECT_TRUE(seen) << body.substr(0, 10);
}

INSTANTIATE_TEST_SUITE_P(Modes, kelSocksSocatTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Port" : "Threads";
                         });
