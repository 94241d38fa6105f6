// The broadcast pipes against a python3 peer written from the packet
// tables (kelBroadcastPeer.py), on 127.255.255.255: what our server puts on
// the wire as the peer reads it, and what four of our clients sharing a port
// make of the peer's packets, the lost, duplicate, truncated and
// old-format ones included.

#include "components/kelMT_socks.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestBroadcast.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestSha256.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <string>
#include <vector>

namespace {

const std::string kPeer = std::string(KEL_SOURCE_DIR) + "/tests/interop/kelBroadcastPeer.py";

kelString portText(uint16_t port)
{
    const std::string s = std::to_string(port);
    return kelString(s.begin(), s.end());
}

std::string logPath(const char* name)
{
    return "/tmp/kelBroadcastPeer-" + std::string(name) + "-" + std::to_string(::getpid()) + ".log";
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace

TEST(kelBroadcastInteropTest, PeerReadsOurFormatsAndPiecesAsTheTablesSay)
{
    if (!kelTestProcess::available("python3"))
        GTEST_SKIP() << "python3 is missing: the broadcast peer cannot run";
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelTestProcess peer;
    ASSERT_TRUE(peer.start({"python3", kPeer, "listen", std::to_string(port)}, logPath("listen")));
    ASSERT_TRUE(peer.waitLine("ready", kelTestWaitMs)) << peer.log();

    auto server = kelMakeOwned<kelmtlIPBroadcastServer>();
    server->setPort(portText(port));
    server->setBindTo(u"127.0.0.1");
    server->setBroadcastAddr(kelTestBroadcastH);
    ASSERT_TRUE(server->open());
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char(i * 13 + 1);
    ASSERT_EQ(server->write(block.data(), uint32_t(block.size())), 3000u);
    server->setWaveFormat({1, 96000, 16, 2});
    ASSERT_EQ(server->write(block.data(), 100), 100u);

    const auto first = peer.waitLine("format", kelTestWaitMs, 1);
    ASSERT_TRUE(first) << peer.log();
    EXPECT_NE(first->find("hex=f423010044ac100244ac" + std::string(20, '0')), std::string::npos) << *first;
    const auto pieces = [&](size_t n) { return peer.waitLine("data", kelTestWaitMs, n); };
    const std::string expected[] = {
        "data seq=1 index=3 first=1 channel=0 len=1400 sha256=" + kelTestSha256(block.data(), 1400),
        "data seq=2 index=3 first=0 channel=0 len=1400 sha256=" + kelTestSha256(block.data() + 1400, 1400),
        "data seq=3 index=3 first=0 channel=0 len=200 sha256=" + kelTestSha256(block.data() + 2800, 200),
        // After the change: the new format first, then data of its index.
        "data seq=4 index=2 first=1 channel=0 len=100 sha256=" + kelTestSha256(block.data(), 100),
    };
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(pieces(i + 1).value_or("none"), expected[i]) << peer.log();
    const auto changed = peer.waitLine("format", kelTestWaitMs, 2);
    ASSERT_TRUE(changed) << peer.log();
    EXPECT_NE(changed->find("format changed=1 index=2 tag=1 rate16=30464 rate32=96000 bits=16 channels=2"),
              std::string::npos)
        << *changed;
    EXPECT_TRUE(peer.linesWith("bad").empty()) << peer.log();
    // The format change came between the third and the fourth piece.
    const auto lines = peer.lines();
    size_t formatAt = 0, fourthAt = 0, seen = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("format", 0) == 0 && ++seen == 2) formatAt = i;
        if (lines[i].rfind("data seq=4", 0) == 0) fourthAt = i;
    }
    EXPECT_LT(formatAt, fourthAt);
}

TEST(kelBroadcastInteropTest, FourClientsTakeThePeersStreamThroughLossDuplicatesAndAChange)
{
    if (!kelTestProcess::available("python3"))
        GTEST_SKIP() << "python3 is missing: the broadcast peer cannot run";
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    struct Client
    {
        kelOwned<kelmtlIPBroadcastClient> pipe;
        kelOwned<kelTestBlockSink> sink;
    };
    std::array<Client, 4> clients;
    for (Client& c : clients) {
        c.pipe = kelMakeOwned<kelmtlIPBroadcastClient>();
        c.sink = kelMakeOwned<kelTestBlockSink>();
        c.pipe->setPort(portText(port));
        c.pipe->setBindTo(u"127.255.255.255");
        ASSERT_TRUE(c.pipe->addConsumer(c.sink.get()));
        ASSERT_TRUE(c.pipe->open()) << c.pipe->lastError();
    }
    kelTestProcess peer;
    ASSERT_TRUE(peer.startWithInput({"python3", kPeer, "send", std::to_string(port)}, logPath("send")));
    ASSERT_TRUE(peer.waitLine("ready", kelTestWaitMs)) << peer.log();

    const std::string p100 = std::string(100, 'z');
    const std::vector<std::string> script = {
        "format 1 96000 16 2 1 3",
        "data 1 3 1 " + hex("one"),
        "data 2 3 0 " + hex("two"),
        "data 4 3 0 " + hex("four"), // 3 was lost
        "data 5 3 0 " + hex("five"),
        "data 5 3 0 " + hex("five"),          // a duplicate
        "data 6 3 0 " + hex(p100) + " cut=1", // 117 bytes of a 118-byte packet
        "data 6 3 0 " + hex("six") + " channel=1",
        "format 1 88200 16 1 1 2",
        "data 7 3 0 " + hex("old"), // the old index: not played with the new format
        "data 8 2 0 " + hex("eight"),
    };
    for (const std::string& line : script)
        ASSERT_TRUE(peer.send(line));
    ASSERT_TRUE(peer.waitLine("sent", kelTestWaitMs, script.size())) << peer.log();

    const std::vector<std::string> delivered = {"one", "two", "four", "five", "eight"};
    for (Client& c : clients) {
        ASSERT_TRUE(kelTestWaitUntil([&] { return c.sink->blockCount() >= delivered.size(); }))
            << c.sink->blockCount();
        EXPECT_EQ(c.sink->blocks(), delivered);
        EXPECT_EQ(c.pipe->packetsLost(), 2u); // 3, and 7 (not ours to play) before 8
        EXPECT_EQ(c.pipe->packetsLate(), 1u);
        EXPECT_EQ(c.pipe->packetsDamaged(), 1u);
        const auto formats = c.sink->formats();
        ASSERT_GE(formats.size(), 2u);
        EXPECT_EQ(formats[formats.size() - 2].formatOriginal.pcmSamplesPerSecond, 96000u);
        EXPECT_EQ(formats.back().formatOriginal.pcmSamplesPerSecond, 88200u);
        EXPECT_EQ(formats.back().formatOriginal.pcmNumChannels, 1u);
        EXPECT_EQ(c.pipe->remoteHost(), 0x7F000001u);
    }
    peer.send("quit");
}
