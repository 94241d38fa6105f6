// The IP client and server pipes on 127.0.0.1: the handshake and stream
// data both ways over TCP and UDP, the bytes a plain peer sees, refusing
// clients, sends on a closed pipe, the goodbye of a close, UDP loss
// counting, raw mode with byte swapping, and the bound on queued packets.

#include "components/kelMT_socks.h"
#include "components/kelWaveFormatBlock.h"
#include "tests/support/kelTestIpPipes.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The format block of 16-bit stereo PCM at `rate`, as the pipes send it.
std::string waveBlock(uintptr_t rate)
{
    const std::vector<uint8_t> block = kelTestWaveBlock(rate, 16, 2, 3);
    return std::string(block.begin(), block.end());
}

uintptr_t sinkRate(kelTestByteSink& sink)
{
    kelWaveFormat f{};
    return sink.format(f) ? f.formatOriginal.pcmSamplesPerSecond : 0;
}

// An open server of `proto` on 127.0.0.1, port any; its port or 0.
uint16_t openServer(kelTestIpEnd<kelmtlIPServer>& server, intptr_t maxClients = 1)
{
    server.pipe->setPort(u"0");
    server.pipe->setMaxClients(maxClients);
    (void)server.pump->open();
    return kelTestIpServerPort(server);
}

void connectClient(kelTestIpEnd<kelmtlIPClient>& client, uint16_t port)
{
    client.pipe->setHost(u"127.0.0.1");
    client.pipe->setPort(kelTestPortText(port));
    (void)client.pump->open();
}

} // namespace

TEST(kelmtlIPPipeTest, HandshakeThenStreamBothWays)
{
    for (tkelmtlProtoType proto : {kelpt_TCP, kelpt_UDP}) {
        SCOPED_TRACE(proto == kelpt_TCP ? "TCP" : "UDP");
        kelTestIpEnd<kelmtlIPServer> server(proto);
        kelTestIpEnd<kelmtlIPClient> client(proto);
        client.pipe->setIsFormatProvider(true);
        server.pump->setFormat(waveBlock(8000));
        client.pump->setFormat(waveBlock(48000));
        const uint16_t port = openServer(server);
        ASSERT_NE(port, 0);
        connectClient(client, port);

        // Each side takes the other's format and passes it to its consumers.
        ASSERT_TRUE(kelTestWaitUntil(
            [&] { return sinkRate(*server.sink) == 48000 && sinkRate(*client.sink) == 8000; }));
        ASSERT_TRUE(kelTestWaitUntil([&] {
            auto stack = server.pipe->clientStack(client.pipe->connId() ? server.pipe->clientIds().at(0) : 0);
            return client.pipe->packetStack()->formatSent() && stack && stack->formatSent();
        }));
        // Over TCP a write larger than one packet holds (and than 16 bits).
        const size_t size = proto == kelpt_TCP ? 200000 : 20000;
        const std::string up = kelTestSocksPattern(size, 1), down = kelTestSocksPattern(3000, 2);
        ASSERT_TRUE(client.send(up));
        ASSERT_TRUE(server.send(down));
        ASSERT_TRUE(server.waitBytes(up.size()));
        ASSERT_TRUE(client.waitBytes(down.size()));
        EXPECT_EQ(server.sink->bytes(), up);
        EXPECT_EQ(client.sink->bytes(), down);
        EXPECT_EQ(server.pipe->formatsRefused(), 0u);
    }
}

TEST(kelmtlIPPipeTest, PlainClientSeesHelloThenFormatAndRefusal)
{
    kelTestIpEnd<kelmtlIPServer> server(kelpt_TCP);
    const std::string format = waveBlock(22050);
    server.pump->setFormat(format);
    const uint16_t port = openServer(server, 1);
    ASSERT_NE(port, 0);

    kelTestFd first = kelTestFd::tcpConnect(port);
    ASSERT_GE(first.get(), 0);
    ASSERT_TRUE(first.sendAll(kelTestIpPacket(kelIpCmdHello, 1)));
    const std::string expected =
        kelTestIpPacket(kelIpCmdHello, 1) + kelTestIpPacket(kelIpCmdFormat, 2, format);
    EXPECT_EQ(first.receive(expected.size()), expected);

    // maxClients 1: the second client is told so and let go.
    kelTestFd second = kelTestFd::tcpConnect(port);
    ASSERT_GE(second.get(), 0);
    EXPECT_EQ(second.receive(100), kelTestIpPacket(kelIpCmdRefused, 1));
    EXPECT_EQ(server.pipe->clientCount(), 1u);
}

TEST(kelmtlIPPipeTest, UdpRefusesOnlyAHelloAndAnnouncesNobodyNeverAccepted)
{
    kelTestIpEnd<kelmtlIPServer> server(kelpt_UDP);
    std::atomic<int> news{0}, gone{0};
    server.pipe->setOnServerNewClient([&](kelmtlInOutIpPipe*, uint32_t, bool) { ++news; });
    server.pipe->setOnServerClientDisconnect([&](kelmtlInOutIpPipe*, uint32_t, bool) { ++gone; });
    const uint16_t port = openServer(server, 1);
    ASSERT_NE(port, 0);
    kelTestFd accepted = kelTestFd::udp(), other = kelTestFd::udp();
    ASSERT_TRUE(accepted.sendTo(port, kelTestIpPacket(kelIpCmdHello, 1)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return news.load() == 1; }));

    // Data from a party that is not accepted draws no reply; its hello does.
    ASSERT_TRUE(other.sendTo(port, kelTestIpPacket(kelIpCmdData, 1, "spoofed")));
    ASSERT_TRUE(other.sendTo(port, kelTestIpPacket(kelIpCmdHello, 1)));
    EXPECT_EQ(other.receive(8), kelTestIpPacket(kelIpCmdRefused, 1));
    kelSocksThread* thread = kelMtIdeSocksShared()->getThreadByID(server.pipe->socksId());
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(kelTestWaitUntil([&] { return thread->connections().count() == 1; }));
    EXPECT_EQ(gone.load(), 0);
    EXPECT_EQ(news.load(), 1);
}

TEST(kelmtlIPPipeTest, ClosedPipeSendFailsAndCloseSaysGoodbyeFirst)
{
    kelTestIpEnd<kelmtlIPClient> client(kelpt_TCP);
    std::atomic<int> sent{0};
    client.pipe->setOnDataSent([&](kelmtlInOutIpPipe*, uint32_t, const void*, uint32_t) { ++sent; });
    EXPECT_EQ(client.pipe->sendData(0, "x", 1), kelsr_fail);
    EXPECT_EQ(client.pipe->sendText(0, u"x"), kelsr_fail);
    EXPECT_EQ(client.pipe->outPacketsCount(), 0);
    EXPECT_EQ(sent.load(), 0);

    uint16_t port = 0;
    kelTestFd listener = kelTestFd::tcpListen(port);
    ASSERT_NE(port, 0);
    connectClient(client, port);
    kelTestFd peer = listener.accept();
    ASSERT_GE(peer.get(), 0);
    EXPECT_EQ(peer.receive(8), kelTestIpPacket(kelIpCmdHello, 1));
    ASSERT_TRUE(kelTestWaitUntil([&] { return client.pipe->isConnected(); }));
    client.pump->close();
    EXPECT_EQ(peer.receive(100), kelTestIpPacket(kelIpCmdGoodbye, 2));
    EXPECT_EQ(sent.load(), 2);
}

TEST(kelmtlIPPipeTest, UdpCountsOnlyForwardGapsAsLoss)
{
    kelTestIpEnd<kelmtlIPServer> server(kelpt_UDP);
    const uint16_t port = openServer(server, 1);
    ASSERT_NE(port, 0);
    kelTestFd peer = kelTestFd::udp();
    const std::string whole = "abcdef";
    const std::string packets[] = {
        kelTestIpPacket(kelIpCmdHello, 1),
        kelTestIpPacket(kelIpCmdFormat, 2, waveBlock(16000)),
        kelTestIpPiece(kelIpCmdData, 3, 0, false, "abc", whole),
        kelTestIpPiece(kelIpCmdData, 3, 1, true, "def", whole),
        kelTestIpPacket(kelIpCmdData, 6, "gh"), // 4 and 5 lost
    };
    for (const std::string& p : packets)
        ASSERT_TRUE(peer.sendTo(port, p));
    ASSERT_TRUE(server.waitBytes(8));
    EXPECT_EQ(server.sink->bytes(), "abcdefgh");
    EXPECT_EQ(server.pipe->packetsLostCount(), 2u);
    EXPECT_EQ(sinkRate(*server.sink), 16000u);
}

TEST(kelmtlIPPipeTest, RawTcpSwapsTheStreamWithoutHeaders)
{
    kelTestIpEnd<kelmtlIPServer> server(kelpt_TCP, kelsm_RAW);
    kelTestIpEnd<kelmtlIPClient> client(kelpt_TCP, kelsm_RAW);
    server.pipe->setStreamByteOrderInput(kelsbo_swap);
    const uint16_t port = openServer(server, 1);
    ASSERT_NE(port, 0);
    connectClient(client, port);
    ASSERT_TRUE(
        kelTestWaitUntil([&] { return client.pipe->isConnected() && server.pipe->clientCount() == 1; }));
    const std::string data = kelTestSocksPattern(1000);
    ASSERT_TRUE(client.send(data));
    ASSERT_TRUE(server.waitBytes(data.size()));
    std::string swapped = data;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(server.sink->bytes(), swapped);
}

TEST(kelmtlIPPipeTest, QueuedPacketsOfAConnectionAreBounded)
{
    auto* server = kelCreate<kelmtlIPServer>();
    server->setProto(kelpt_TCP);
    auto* stack = kelCreate<kelmtlIpPacketsStack>(server, 4001u);
    stack->reset();
    stack->setQueueMode(kelmtlIpPacketsStack::kQueueMaster);
    const std::string payload = kelTestSocksPattern(60000);
    uint16_t seq = 1;
    for (int i = 0; i < 100; ++i) {
        const std::string p = kelTestIpPacket(kelIpCmdData, seq++, payload);
        stack->receive(reinterpret_cast<const uint8_t*>(p.data()), p.size());
    }
    EXPECT_LE(stack->queuedBytes(), kelmtlIpPacketsStack::kMaxQueuedBytes);
    EXPECT_GT(stack->queuedBytes(), kelmtlIpPacketsStack::kMaxQueuedBytes - payload.size());
    EXPECT_EQ(stack->droppedBytes() + stack->queuedBytes(), 100u * payload.size());
    kelFree(stack);
    kelFree(server);
}

TEST(kelmtlIPPipeTest, TextAndPingsReachTheServer)
{
    kelManualClock clock;
    kelTestIpEnd<kelmtlIPServer> server(kelpt_TCP);
    kelTestIpEnd<kelmtlIPClient> client(kelpt_TCP);
    std::mutex guard;
    kelString text;
    std::vector<std::string> user;
    server.pipe->setOnTextData([&](kelmtlInOutIpPipe*, uint32_t, const kelString& t) {
        std::lock_guard lock(guard);
        text = t;
    });
    server.pipe->setOnUserData([&](kelmtlInOutIpPipe*, uint32_t, const void* d, uint32_t n) {
        std::lock_guard lock(guard);
        user.emplace_back(static_cast<const char*>(d), n);
    });
    client.pipe->setClock(clock);
    client.pipe->setPingInterval(1000);
    const uint16_t port = openServer(server);
    ASSERT_NE(port, 0);
    connectClient(client, port);
    ASSERT_TRUE(kelTestWaitUntil([&] {
        auto stack =
            server.pipe->clientStack(server.pipe->clientIds().empty() ? 0 : server.pipe->clientIds()[0]);
        return stack && stack->formatSent() && client.pipe->packetStack()->formatSent();
    }));
    ASSERT_EQ(client.pipe->sendText(0, u"h\u00e9\u4e2d"), kelsr_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] {
        std::lock_guard lock(guard);
        return !text.empty();
    }));
    EXPECT_EQ(text, u"h\u00e9?");

    // Data from the server within the interval sends no ping; after it, one
    // ping carrying the mark of the last one (the connect time).
    const uint64_t mark = clock.nowMs();
    clock.advanceMs(10);
    ASSERT_TRUE(server.send("a"));
    ASSERT_TRUE(client.waitBytes(1));
    clock.advanceMs(1000);
    ASSERT_TRUE(server.send("b"));
    ASSERT_TRUE(client.waitBytes(2));
    // A text sent afterwards arrives after any ping sent before it.
    ASSERT_EQ(client.pipe->sendText(0, u"z"), kelsr_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] {
        std::lock_guard lock(guard);
        return text == u"z";
    }));
    std::lock_guard lock(guard);
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user[0], std::string(reinterpret_cast<const char*>(&mark), 8));
}

TEST(kelmtlIPPipeTest, PeerFormatsAreCheckedBeforeTheyAreTaken)
{
    kelTestIpEnd<kelmtlIPServer> server(kelpt_TCP);
    const uint16_t port = openServer(server, 1);
    ASSERT_NE(port, 0);
    kelTestFd peer = kelTestFd::tcpConnect(port);
    ASSERT_GE(peer.get(), 0);
    kelWaveFormat codec{};
    codec.formatTag = 0x55;
    codec.formatOriginal.pcmSamplesPerSecond = 44100;
    codec.formatOriginal.pcmBitsPerSample = 16;
    codec.formatOriginal.pcmNumChannels = 2;
    std::vector<uint8_t> pathBlock;
    kelWriteCodecFormatBlock(codec, kelcdm_installable, "../lib/evil.so", pathBlock);
    const std::string refused[] = {
        std::string(4097, 'x'),                          // too long for a format
        waveBlock(0),                                    // no rate
        std::string(pathBlock.begin(), pathBlock.end()), // a library path
    };
    std::string stream = kelTestIpPacket(kelIpCmdHello, 1);
    uint16_t seq = 2;
    for (const std::string& block : refused)
        for (size_t i = 0; i * 1492 < block.size(); ++i) {
            const std::string piece = block.substr(i * 1492, 1492);
            stream += kelTestIpPiece(kelIpCmdFormat, seq, static_cast<uint8_t>(i),
                                     (i + 1) * 1492 >= block.size(), piece, block);
            if ((i + 1) * 1492 >= block.size()) ++seq;
        }
    stream += kelTestIpPacket(kelIpCmdFormat, seq, waveBlock(12000));
    ASSERT_TRUE(peer.sendAll(stream));
    ASSERT_TRUE(kelTestWaitUntil([&] { return sinkRate(*server.sink) == 12000; }));
    EXPECT_EQ(server.pipe->formatsRefused(), 3u);
    EXPECT_EQ(server.pipe->remoteFormat().size(), 40u);
}
