// The broadcast server and clients on the loopback network's broadcast
// address (127.255.255.255): four clients sharing a port, the bytes on the
// wire, format changes, formats from a provider, a second server on the
// port, and the default address inside a network namespace of the test's
// own.

#include "components/kelMT_socks.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestBroadcast.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

template <class T> using Owned = kelOwned<T>;

kelString portText(uint16_t port)
{
    const std::string s = std::to_string(port);
    return kelString(s.begin(), s.end());
}

Owned<kelmtlIPBroadcastServer> makeServer(uint16_t port)
{
    auto server = kelMakeOwned<kelmtlIPBroadcastServer>();
    server->setPort(portText(port));
    server->setBindTo(u"127.0.0.1");
    server->setBroadcastAddr(kelTestBroadcastH);
    server->setPieceGapMs(0);
    return server;
}

struct Client
{
    Owned<kelmtlIPBroadcastClient> pipe;
    Owned<kelTestBlockSink> sink;
};

Client makeClient(uint16_t port, const kelClock* clock = nullptr)
{
    Client c{kelMakeOwned<kelmtlIPBroadcastClient>(), kelMakeOwned<kelTestBlockSink>()};
    c.pipe->setPort(portText(port));
    c.pipe->setBindTo(u"127.255.255.255");
    if (clock) c.pipe->setClock(*clock);
    (void)c.pipe->addConsumer(c.sink.get());
    return c;
}

int intOption(intptr_t fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    return ::getsockopt(int(fd), level, name, &v, &len) == 0 ? v : -1;
}

Bytes formatBlock(uintptr_t tag, uintptr_t rate, uintptr_t bits, uintptr_t channels, size_t size = 174)
{
    kelWaveFormat f;
    f.formatTag = tag;
    f.formatOriginal = {rate, bits, channels};
    Bytes b(size, 0);
    std::memcpy(b.data(), &f, std::min(size, sizeof f));
    return b;
}

// The datagrams up to and including the next data packet.
std::vector<kelBroadcastPacket> untilData(kelTestBroadcastListener& wire, std::vector<Bytes>& keep)
{
    std::vector<kelBroadcastPacket> out;
    while (auto d = wire.next()) {
        keep.push_back(*d);
        kelBroadcastPacket p;
        if (!kelParseBroadcastPacket(keep.back().data(), keep.back().size(), p)) break;
        out.push_back(p);
        if (p.type == kelbpt_data) break;
    }
    return out;
}

} // namespace

TEST(kelmtlIPBroadcastPipeTest, FourClientsOnOnePortGetTheFormatAndEveryPieceOfABlock)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelTestBroadcastListener wire(port);
    ASSERT_TRUE(wire.ok());
    std::array<Client, 4> clients{makeClient(port), makeClient(port), makeClient(port), makeClient(port)};
    for (Client& c : clients)
        ASSERT_TRUE(c.pipe->open()) << "bind error " << c.pipe->lastError();
    auto server = makeServer(port);
    server->setWaveFormat({1, 96000, 24, 2});
    ASSERT_TRUE(server->open());

    Bytes block(3000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i * 7);
    ASSERT_EQ(server->write(block.data(), uint32_t(block.size())), 3000u);

    // On the wire: the format, then pieces of 1400, 1400 and 200 bytes,
    // only the first flagged as the start of the block.
    std::vector<Bytes> raw;
    const auto first = untilData(wire, raw);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].format.samplesPerSec, 96000u);
    EXPECT_EQ(raw[0][4] | raw[0][5] << 8, 96000 & 0xFFFF);
    const size_t sizes[] = {1418, 1418, 218};
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0) {
            ASSERT_EQ(untilData(wire, raw).size(), 1u);
        }
        ASSERT_EQ(raw.back().size(), sizes[i]);
        EXPECT_EQ(raw.back()[3] & 2, i == 0 ? 2 : 0) << "piece " << i;
        EXPECT_EQ(raw.back()[3] >> 4, int(i + 1)) << "piece " << i;
    }
    EXPECT_EQ(server->packetsSent(), 4u);
    EXPECT_EQ(server->outBytes(), 20 + 1418 + 1418 + 218);

    for (Client& c : clients) {
        ASSERT_TRUE(kelTestWaitUntil([&] { return c.sink->blockCount() >= 3; }));
        const auto blocks = c.sink->blocks();
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[0].size(), 1400u);
        EXPECT_EQ(blocks[2].size(), 200u);
        EXPECT_EQ(blocks[0] + blocks[1] + blocks[2], std::string(block.begin(), block.end()));
        const auto formats = c.sink->formats();
        ASSERT_FALSE(formats.empty());
        EXPECT_EQ(formats.back().formatOriginal.pcmSamplesPerSecond, 96000u);
        EXPECT_EQ(formats.back().formatOriginal.pcmBitsPerSample, 24u);
        EXPECT_EQ(c.pipe->packetsLost(), 0u);
        EXPECT_EQ(c.pipe->waveFormat().samplesPerSec, 96000u);
        // Several clients share the port through address reuse.
        EXPECT_EQ(intOption(c.pipe->socketHandle(), SOL_SOCKET, SO_REUSEADDR), 1);
    }
    // The server keeps the system's send buffer (0 would be the smallest).
    const int fresh = ::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(intOption(server->socketHandle(), SOL_SOCKET, SO_SNDBUF),
              intOption(fresh, SOL_SOCKET, SO_SNDBUF));
    ::close(fresh);
    EXPECT_EQ(intOption(server->socketHandle(), SOL_SOCKET, SO_BROADCAST), 1);

    // Closing ends each receive thread within its stop time: the wait in
    // poll() is woken, so the socket is released at once.
    for (Client& c : clients) {
        c.pipe->close();
        EXPECT_FALSE(c.pipe->active());
        EXPECT_EQ(c.pipe->socketHandle(), -1);
    }
}

TEST(kelmtlIPBroadcastPipeTest, EachFormatChangeTakesTheNextIndexAndGoesBeforeItsData)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelTestBroadcastListener wire(port);
    ASSERT_TRUE(wire.ok());
    auto server = makeServer(port);
    ASSERT_TRUE(server->open());
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint32_t rates[] = {44100, 48000, 32000, 22050, 16000, 8000};
    const int indexes[] = {3, 2, 1, 0, 3, 2};
    std::vector<Bytes> raw;
    for (size_t i = 0; i < std::size(rates); ++i) {
        SCOPED_TRACE(i);
        if (i > 0) server->setWaveFormat({1, rates[i], 16, 2});
        ASSERT_EQ(server->sendStreamData(0, payload, sizeof payload, true), 0);
        // The data after a change is always preceded by its format.
        const auto packets = untilData(wire, raw);
        ASSERT_EQ(packets.size(), 2u);
        EXPECT_TRUE(packets[0].format.changed);
        EXPECT_EQ(packets[0].format.index, indexes[i]);
        EXPECT_EQ(packets[0].format.samplesPerSec, rates[i]);
        EXPECT_EQ(packets[1].data.index, indexes[i]);
        if (i == 0) {
            EXPECT_EQ(raw.front(), Bytes({0xF4, 0x23, 0x01, 0x00, 0x44, 0xAC, 0x10, 0x02, 0x44, 0xAC,
                                          0,    0,    0,    0,    0,    0,    0,    0,    0,    0}));
        }
    }
    // Without a change the format repeats before every 17th data packet,
    // unchanged bit clear.
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(server->sendStreamData(0, payload, sizeof payload, false), 0);
        ASSERT_EQ(untilData(wire, raw).size(), 1u);
    }
    ASSERT_EQ(server->sendStreamData(0, payload, sizeof payload, false), 0);
    const auto again = untilData(wire, raw);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_FALSE(again[0].format.changed);
    EXPECT_EQ(again[0].format.index, 2);
}

TEST(kelmtlIPBroadcastPipeTest, SendsFailWithoutCountingOnAClosedPipeOrBadLengths)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    auto server = makeServer(port);
    const Bytes big(kelBroadcastMaxPayload + 1, 1);
    EXPECT_EQ(server->sendStreamData(0, big.data(), 10, true), 1); // closed
    EXPECT_EQ(server->sendAudioStreamFormat(), 1);
    EXPECT_EQ(server->write(big.data(), 10), 0u);
    ASSERT_TRUE(server->open());
    EXPECT_EQ(server->sendStreamData(0, big.data(), 0, true), 1);
    EXPECT_EQ(server->sendStreamData(0, big.data(), uint32_t(big.size()), true), 1);
    EXPECT_EQ(server->sendStreamData(0, nullptr, 10, true), 1);
    EXPECT_EQ(server->packetsSent(), 0u);
    EXPECT_EQ(server->outBytes(), 0);
    server->close();
    server->setPort(u"0");
    EXPECT_FALSE(server->open()); // no port to send to

    auto client = kelMakeOwned<kelmtlIPBroadcastClient>();
    client->setPort(portText(port));
    client->setBindTo(u"203.0.113.7"); // not ours: the bind fails and so does the open
    EXPECT_FALSE(client->open());
    EXPECT_EQ(client->lastError(), WSAEADDRNOTAVAIL);
    EXPECT_EQ(client->write(big.data(), 10), 0u);
}

TEST(kelmtlIPBroadcastPipeTest, ProviderFormatBlocksAreCheckedBeforeTheyAreTaken)
{
    // Linking a format provider offers its block, as any provider's format
    // propagation does.
    auto server = makeServer(kelBroadcastDefaultPort);
    struct Case
    {
        const char* name;
        Bytes block;
        bool taken;
    };
    const Case cases[] = {
        {"wave block", formatBlock(1, 48000, 16, 1, 40), true},
        {"codec-sized block", formatBlock(1, 96000, 24, 2), true},
        {"largest block", formatBlock(1, 32000, 8, 1, 4096), true},
        {"too large", formatBlock(1, 22050, 16, 2, 4097), false},
        {"too short", formatBlock(1, 22050, 16, 2, 39), false},
        {"no rate", formatBlock(1, 0, 16, 2), false},
        {"no channels", formatBlock(1, 22050, 16, 0), false},
        {"bits beyond a byte", formatBlock(1, 22050, 256, 2), false},
        {"channels beyond a byte", formatBlock(1, 22050, 16, 300), false},
        {"tag beyond 16 bits", formatBlock(0x10001, 22050, 16, 2), false},
    };
    kelBroadcastWaveFormat expected = server->waveFormat();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto provider = kelMakeOwned<kelTestFormatProvider>();
        provider->setBlock(c.block);
        ASSERT_TRUE(provider->addConsumer(server.get()));
        if (c.taken) {
            kelWaveFormat f;
            std::memcpy(&f, c.block.data(), sizeof f);
            expected = {f.formatTag, f.formatOriginal.pcmSamplesPerSecond, f.formatOriginal.pcmBitsPerSample,
                        f.formatOriginal.pcmNumChannels};
        }
        EXPECT_EQ(server->waveFormat(), expected);
        provider->removeConsumer(server.get());
    }
}

TEST(kelmtlIPBroadcastPipeTest, AClientFollowsOneServerUntilItHasBeenSilentTwoSeconds)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelManualClock clock;
    Client c = makeClient(port, &clock);
    ASSERT_TRUE(c.pipe->open());
    auto server = makeServer(port);
    ASSERT_TRUE(server->open());
    const uint8_t ours[4] = {'o', 'u', 'r', 's'};
    ASSERT_EQ(server->sendStreamData(0, ours, sizeof ours, true), 0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c.sink->blockCount() == 1; }));

    // A second server on the port, with a format and data of its own.
    kelTestBroadcastSender other;
    ASSERT_TRUE(other.ok());
    Bytes otherFormat(kelBroadcastFormatSize);
    kelBroadcastFormat f;
    f.changed = true;
    f.index = 1;
    f.samplesPerSec = 8000;
    f.numChannels = 1;
    kelBuildBroadcastFormat(f, otherFormat.data());
    const uint8_t theirs[6] = {'t', 'h', 'e', 'i', 'r', 's'};
    kelBroadcastData d;
    d.index = 1;
    d.sequence = 1;
    d.payload = theirs;
    d.length = sizeof theirs;
    Bytes otherData(sizeof theirs + kelBroadcastDataOverhead);
    kelBuildBroadcastData(d, otherData.data());

    clock.advanceMs(1999);
    ASSERT_TRUE(other.send(port, otherFormat));
    ASSERT_TRUE(other.send(port, otherData));
    ASSERT_TRUE(kelTestWaitUntil([&] { return c.pipe->packetsForeign() == 2; }));
    EXPECT_EQ(c.sink->blockCount(), 1u);
    EXPECT_EQ(c.pipe->waveFormat().samplesPerSec, 44100u);

    // Two seconds after our server was last heard, the other one is taken.
    clock.advanceMs(1);
    ASSERT_TRUE(other.send(port, otherFormat));
    ASSERT_TRUE(other.send(port, otherData));
    ASSERT_TRUE(kelTestWaitUntil([&] { return c.sink->blockCount() == 2; }));
    EXPECT_EQ(c.sink->blocks()[1], "theirs");
    EXPECT_EQ(c.pipe->waveFormat().samplesPerSec, 8000u);
    EXPECT_EQ(c.sink->formats().back().formatOriginal.pcmNumChannels, 1u);
    // Our server's next packet (data alone: no format is due) is foreign now.
    ASSERT_EQ(server->sendStreamData(0, ours, sizeof ours, true), 0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c.pipe->packetsForeign() == 3; }));
    EXPECT_EQ(c.sink->blockCount(), 2u);
}

namespace {

// Child side of the default-address test, in a network namespace of its
// own: lo and a veth pair whose only route is the default one, so the
// limited broadcast has somewhere to go that is not the host's network.
// Exit codes: 0 success, 77 no namespace or route, others a failed step.
int defaultAddressInPrivateNamespace()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        // Without the privilege a user namespace brings one.
        const uid_t uid = ::getuid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return 77;
        const std::string map = "0 " + std::to_string(uid) + " 1";
        const std::string cmd = "echo deny > /proc/self/setgroups 2>/dev/null; echo '" + map + "' > /proc/" +
                                std::to_string(::getpid()) + "/uid_map";
        if (std::system(cmd.c_str()) != 0) return 77;
    }
    const char* setup = "ip link set lo up && ip link add kelbc0 type veth peer name kelbc1 && "
                        "ip addr add 192.0.2.1/24 dev kelbc0 && ip link set kelbc0 up && "
                        "ip link set kelbc1 up && ip route add default dev kelbc0 && "
                        "ip route get 255.255.255.255 >/dev/null 2>&1";
    if (std::system((std::string("(") + setup + ") >/dev/null 2>&1").c_str()) != 0) return 77;

    auto client = kelMakeOwned<kelmtlIPBroadcastClient>();
    auto sink = kelMakeOwned<kelTestBlockSink>();
    if (!client || !sink || !client->addConsumer(sink.get())) return 2;
    if (!client->open()) return 3; // 0.0.0.0:17380
    auto server = kelMakeOwned<kelmtlIPBroadcastServer>();
    if (!server) return 4;
    server->setPieceGapMs(0);
    if (server->broadcastAddr() != 0xFFFFFFFFu || server->port() != u"17380") return 5;
    if (!server->open()) return 6;
    const char text[] = "to every interface";
    if (server->write(text, sizeof text) != sizeof text) return 7;
    if (!kelTestWaitUntil([&] { return sink->blockCount() >= 1; })) return 8;
    if (sink->blocks()[0] != std::string(text, sizeof text)) return 9;
    return 0;
}

} // namespace

TEST(kelmtlIPBroadcastPipeTest, DefaultAddressReachesAClientInsideAPrivateNamespace)
{
    // 255.255.255.255 is sent to only inside a namespace this test made.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(defaultAddressInPrivateNamespace());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP()
            << "no network namespace with a broadcast route could be made (unshare, ip): the default "
               "address is not tried on the host";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}
