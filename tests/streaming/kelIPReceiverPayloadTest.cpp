// The IP receiver's payload path, fed hand-built RTP packets from a plain
// socket on 127.0.0.1: what its consumers, onText, onRTPHeader and
// onRAWDataWrite get, and which format the first packet selects.

#include "net/rtp/kelRTPHeader.h"
#include "net/sockets/kelSockAddr.h"
#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "streaming/kelIdleThread.h"
#include "tests/pipes/kelPipeHarness.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The idle thread of a receiver, reached through the accessor its
// subclasses get.
struct kelIdleAccess : TkelIPReceiver
{
    static kelThread* of(TkelIPReceiver& rx) { return (rx.*(&kelIdleAccess::idleThread))(); }
};

kelThread* kelIdleThreadOf(TkelIPReceiver& rx)
{
    return kelIdleAccess::of(rx);
}

// What the receiver's events delivered.
struct kelEventLog
{
    std::mutex guard;
    std::vector<kelString> texts;
    std::vector<rtp_hdr> headers;
    std::vector<std::vector<uint8_t>> headerPayloads;
    std::vector<std::vector<uint8_t>> raw;
    std::vector<const void*> rawBlocks;
    std::vector<const void*> deliveredBlocks;

    size_t headerCount()
    {
        std::lock_guard lock(guard);
        return headers.size();
    }
};

class kelIPReceiverPayloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(f_peer.ok());
        f_sink.reset(kelCreate<kelTestPipe>("sink"));
        f_rx.reset(kelCreate<TkelIPReceiver>());
        ASSERT_TRUE(f_sink && f_rx);
        f_rx->setIsFormatProvider(true);
        ASSERT_TRUE(f_rx->addConsumer(f_sink.get()));
        kelEventLog* log = &f_log;
        f_rx->setOnText([log](kelmtlInOutPipe*, const char16_t* text) {
            std::lock_guard lock(log->guard);
            log->texts.emplace_back(text);
        });
        f_rx->setOnRTPHeader([log](kelmtlInOutPipe*, const rtp_hdr* hdr, const void* data, uint32_t len) {
            std::lock_guard lock(log->guard);
            log->headers.push_back(*hdr);
            const auto* p = static_cast<const uint8_t*>(data);
            log->headerPayloads.emplace_back(p, p + len);
        });
        f_rx->setOnRAWDataWrite([log](kelmtlInOutPipe*, const void* data, uint32_t len) {
            std::lock_guard lock(log->guard);
            const auto* p = static_cast<const uint8_t*>(data);
            log->raw.emplace_back(p, p + len);
            log->rawBlocks.push_back(data);
        });
        f_rx->setOnDataAvailable([log](kelmtlInOutPipe*, void* data, uint32_t) {
            std::lock_guard lock(log->guard);
            log->deliveredBlocks.push_back(data);
        });
        // The hole packets go to the peer, which does not answer them.
        f_rx->setURI(kelTestURI(f_peer.port()));
    }
    void TearDown() override
    {
        if (f_rx) f_rx->close();
    }

    bool openRx()
    {
        if (!f_rx->open() || !f_sink->open()) return false;
        f_rxPort = static_cast<uint16_t>(portFromString(f_rx->portLocal()));
        return f_rxPort != 0;
    }
    void send(const std::vector<uint8_t>& packet) { f_peer.sendTo(f_rxPort, packet); }
    // Sends a comfort-noise packet (which reaches no consumer) and waits for
    // its header: everything sent before it has been handled by then.
    void sync(uint16_t seq)
    {
        const size_t before = f_log.headerCount();
        send(kelTestRTPPacket(13, seq, {0}));
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_log.headerCount() > before; }, 10000));
    }
    std::vector<uint8_t> sinkBytes() const
    {
        std::vector<uint8_t> all;
        for (const kelTestBlock& b : f_sink->blocks())
            all.insert(all.end(), b.bytes.begin(), b.bytes.end());
        return all;
    }
    std::vector<kelString> texts()
    {
        std::lock_guard lock(f_log.guard);
        return f_log.texts;
    }
    // The consumer's last format block, as the 40 bytes it is.
    kelWaveFormat sinkFormat() const
    {
        kelWaveFormat block;
        const std::vector<uint8_t> bytes = f_sink->lastFormat();
        EXPECT_EQ(bytes.size(), sizeof block);
        if (bytes.size() == sizeof block) std::memcpy(&block, bytes.data(), sizeof block);
        return block;
    }

    kelTestPeer f_peer;
    kelEventLog f_log;
    kelOwned<kelTestPipe> f_sink;
    kelOwned<TkelIPReceiver> f_rx;
    uint16_t f_rxPort = 0;
};

std::vector<uint8_t> bytesOf(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST_F(kelIPReceiverPayloadTest, FirstTextPacketSwitchesToTextAt1000HzAndRaisesOnText)
{
    ASSERT_TRUE(openRx());
    send(kelTestRTPPacket(113, 1, bytesOf("h\xC3\xA9")));
    send(kelTestRTPPacket(113, 2, bytesOf("\xF0\x9F\x98\x80")));
    ASSERT_TRUE(kelTestWaitUntil([&] { return texts().size() >= 2; }, 10000));
    EXPECT_EQ(texts(), (std::vector<kelString>{u"h\u00E9", u"\U0001F600"}));
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_t140c);
    EXPECT_EQ(f_rx->samplingRate(), 1000);
    EXPECT_EQ(sinkFormat().formatOriginal.pcmSamplesPerSecond, 1000u);
    sync(3);
    EXPECT_EQ(f_sink->blockCount(), 0u) << "text went down the pipe";
}

TEST_F(kelIPReceiverPayloadTest, KeepAlivesNeverReachOnText)
{
    ASSERT_TRUE(openRx());
    send(kelTestRTPPacket(113, 1, bytesOf("\xEF\xBB\xBF")));
    send(kelTestRTPPacket(113, 2,
                          bytesOf("\xEF\xBB\xBF"
                                  "a\xEF\xBB\xBF"
                                  "b")));
    send(kelTestRTPPacket(113, 3, bytesOf("\xEF\xBB\xBF\xEF\xBB\xBF")));
    send(kelTestRTPPacket(113, 4, bytesOf("c")));
    ASSERT_TRUE(kelTestWaitUntil([&] { return texts().size() >= 2; }, 10000));
    sync(5);
    EXPECT_EQ(texts(), (std::vector<kelString>{u"ab", u"c"}));
}

// The text is handed on zero-terminated: a NUL inside it would end it
// there. It means nothing in real-time text and is dropped; a packet of
// NULs only shows nothing.
TEST_F(kelIPReceiverPayloadTest, NulCharactersAreDroppedAndTheTextAfterThemKept)
{
    ASSERT_TRUE(openRx());
    send(kelTestRTPPacket(113, 1, {'a', 'b', 0, 'c', 'd', 0}));
    send(kelTestRTPPacket(113, 2, {0, 0}));
    send(kelTestRTPPacket(113, 3, {0, 'e'}));
    ASSERT_TRUE(kelTestWaitUntil([&] { return texts().size() >= 2; }, 10000));
    sync(4);
    EXPECT_EQ(texts(), (std::vector<kelString>{u"abcd", u"e"}));
}

TEST_F(kelIPReceiverPayloadTest, RedundantTextOfferedBySDPIsShownOnceWithLostPacketsRecovered)
{
    f_rx->setSDP(u"v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                 u"m=text 5000 RTP/AVP 100 98\r\na=rtpmap:100 red/1000\r\na=rtpmap:98 t140/1000\r\n"
                 u"a=fmtp:100 98/98/98\r\n");
    EXPECT_EQ(f_rx->redundantTextType(), 100);
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_t140c);
    ASSERT_TRUE(openRx());
    const auto red = [](const std::string& older2, const std::string& older1, const std::string& primary) {
        return kelTestRedPayload({{98, 600, older2}, {98, 300, older1}}, 98, primary);
    };
    send(kelTestRTPPacket(100, 10,
                          red("", "",
                              "\xEF\xBB\xBF"
                              "Hi"),
                          1000));
    send(kelTestRTPPacket(100, 11, red("", "Hi", " t"), 1300));
    // 12 and 13 are lost; 14 brings their text. 13 comes late, 14 twice.
    send(kelTestRTPPacket(100, 14, red("he", "re", "!"), 2200));
    send(kelTestRTPPacket(100, 13, red(" t", "he", "re"), 1900));
    send(kelTestRTPPacket(100, 14, red("he", "re", "!"), 2200));
    // A keep-alive while idle, alone in its packet.
    send(kelTestRTPPacket(100, 15, red("re", "!", "\xEF\xBB\xBF"), 5200));
    // Plain text of the wrapped type still reads.
    send(kelTestRTPPacket(98, 16, bytesOf("."), 5500));
    ASSERT_TRUE(kelTestWaitUntil([&] { return texts().size() >= 4; }, 10000));
    sync(17);
    std::vector<kelString> shown = texts();
    kelString all;
    for (const kelString& t : shown)
        all += t;
    EXPECT_EQ(all, u"Hi there!.");
    // 13 is put back before 14, so it shows on its own: "Hi", " t",
    // "here", "!", ".".
    EXPECT_EQ(shown.size(), 5u);
    EXPECT_EQ(f_sink->blockCount(), 0u) << "text went down the pipe";
}

TEST_F(kelIPReceiverPayloadTest, RedundantTextWithoutSDPIsKnownByItsLayoutAndNoOtherTypeShowsAsText)
{
    // A standard peer's packets (SSRC 0x6BC8AA41), its redundancy type 100
    // named by no SDP.
    constexpr uint32_t kPeer = 0x6BC8AA41;
    const auto plain = [&](uint8_t pt, uint16_t seq, const std::string& text) {
        return kelTestRTPPacket(pt, seq, bytesOf(text), 0, kPeer);
    };
    struct Case
    {
        const char* name;
        std::vector<std::vector<uint8_t>> packets;
        kelString shown;
        bool text; // the format became text
    };
    const std::vector<Case> cases = {
        // The first packet's generations were sent before we listened.
        {"fresh receiver", {kelTestRedTextPacket1, kelTestRedTextPacket2}, u"Yo", true},
        {"after plain text", {plain(113, 1, "Hey"), kelTestRedTextPacket2}, u"HeyYo", true},
        {"wrong length chain", {kelTestRedTextPacket1, kelTestRedTextBadLength}, u"", true},
        {"foreign inner type", {kelTestRedTextPacket1, kelTestRedTextForeignBlock}, u"", true},
        {"foreign packet alone", {kelTestRedTextForeignBlock}, u"", false},
        {"plain text of a type no one named",
         {plain(113, 1, "Hey"), plain(98, 2, "\xF1garbage")},
         u"Hey",
         true},
        {"audio after text", {plain(113, 1, "Hey"), plain(0, 2, "\x7F\x7F")}, u"Hey", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(f_log.guard);
            f_log.texts.clear();
        }
        f_rx->updateFormat(8000, 1, 16, kelRTPEnc_L16, 0);
        ASSERT_TRUE(openRx());
        const size_t before = f_log.headerCount();
        for (const auto& packet : c.packets)
            send(packet);
        // A ping of the same source: what came before it has been handled.
        send(kelTestRTPPacket(13, 3, {0}, 0, kPeer));
        ASSERT_TRUE(
            kelTestWaitUntil([&] { return f_log.headerCount() >= before + c.packets.size() + 1; }, 10000));
        kelString all;
        for (const kelString& t : texts())
            all += t;
        EXPECT_EQ(all, c.shown);
        EXPECT_EQ(f_rx->encoding() == kelRTPEnc_t140c, c.text);
        f_rx->close();
    }
}

TEST_F(kelIPReceiverPayloadTest, EmptyPayloadRaisesNothingAndLeavesTheFormatUndecided)
{
    // Undecoded, so the bytes show as they came.
    f_rx->setDoEncode(false);
    ASSERT_TRUE(openRx());
    const int formatsBefore = f_sink->formatsApplied();
    send(kelTestRTPPacket(113, 1, {}));
    // The next packet is still the first one that counts: PCMU.
    send(kelTestRTPPacket(0, 2, {0x55, 0xD5}));
    ASSERT_TRUE(f_sink->waitForBlocks(1, 10000));
    EXPECT_TRUE(texts().empty());
    EXPECT_EQ(f_log.headerCount(), 1u);
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_PCMU);
    EXPECT_EQ(f_sink->formatsApplied(), formatsBefore + 1);
    EXPECT_EQ(sinkBytes(), (std::vector<uint8_t>{0x55, 0xD5}));
}

TEST_F(kelIPReceiverPayloadTest, WithoutCustomPayloadsType113IsDataOfTheSDPsEncoding)
{
    f_rx->setCustomPayloadAware(false);
    ASSERT_TRUE(openRx());
    send(kelTestRTPPacket(113, 1, {'a', 'b', 'c', 'd'}));
    ASSERT_TRUE(f_sink->waitForBlocks(1, 10000));
    // The default description's L16, turned into host order.
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_L16);
    EXPECT_EQ(sinkBytes(), (std::vector<uint8_t>{'b', 'a', 'd', 'c'}));
    sync(2);
    EXPECT_TRUE(texts().empty());
}

TEST_F(kelIPReceiverPayloadTest, MpegAudioLosesItsFourByteHeaderAndAHeaderAloneCarriesNothing)
{
    f_rx->setDoEncode(false);
    ASSERT_TRUE(openRx());
    send(kelTestRTPPacket(14, 1, {0, 0, 0, 0}));
    send(kelTestRTPPacket(14, 2, {0, 0, 0, 0, 0xFF, 0xFB}));
    ASSERT_TRUE(f_sink->waitForBlocks(1, 10000));
    sync(3);
    ASSERT_EQ(f_sink->blockCount(), 1u);
    EXPECT_EQ(sinkBytes(), (std::vector<uint8_t>{0xFF, 0xFB}));
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_MPA);
    // Only the encoding changed: the rest is the default description's.
    EXPECT_EQ(f_rx->samplingRate(), 8000);
}

TEST_F(kelIPReceiverPayloadTest, FirstPacketOfEachOpenSelectsTheStaticFormat)
{
    struct Row
    {
        uint8_t pt;
        intptr_t encoding;
        uintptr_t rate;
        uintptr_t channels;
    };
    const Row rows[] = {
        {0, kelRTPEnc_PCMU, 8000, 1},  {3, kelRTPEnc_GSM, 8000, 1},    {8, kelRTPEnc_PCMA, 8000, 1},
        {10, kelRTPEnc_L16, 44100, 2}, {11, kelRTPEnc_L16, 44100, 1},  {5, kelRTPEnc_DVI4, 8000, 1},
        {6, kelRTPEnc_DVI4, 16000, 1}, {16, kelRTPEnc_DVI4, 11025, 1}, {17, kelRTPEnc_DVI4, 22050, 1},
    };
    // Undecoded: the 2-byte payloads pass as they came, and G.711's block
    // names its law (decoding is kelIPReceiverDecodeTest's).
    f_rx->setDoEncode(false);
    uint16_t seq = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pt);
        ASSERT_TRUE(openRx());
        const size_t blocks = f_sink->blockCount();
        send(kelTestRTPPacket(row.pt, seq++, {1, 2}));
        // A later packet of another type changes nothing within the open.
        send(kelTestRTPPacket(row.pt == 0 ? 8 : 0, seq++, {3, 4}));
        ASSERT_TRUE(f_sink->waitForBlocks(blocks + 2, 10000));
        EXPECT_EQ(f_rx->encoding(), row.encoding);
        const kelWaveFormat block = sinkFormat();
        // G.711 arrives as it travels, a byte a sample, and says so.
        const bool g711 = row.encoding == kelRTPEnc_PCMU || row.encoding == kelRTPEnc_PCMA;
        const uintptr_t tag = row.encoding == kelRTPEnc_PCMU   ? kelWaveFormatTagMuLaw
                              : row.encoding == kelRTPEnc_PCMA ? kelWaveFormatTagALaw
                                                               : kelWaveFormatTagPCM;
        EXPECT_EQ(block.formatTag, tag);
        EXPECT_EQ(block.formatOriginal.pcmSamplesPerSecond, row.rate);
        EXPECT_EQ(block.formatOriginal.pcmBitsPerSample, g711 ? 8u : 16u);
        EXPECT_EQ(block.formatOriginal.pcmNumChannels, row.channels);
        EXPECT_EQ(block.formatChannelMask, 0xA0000000u);
        f_rx->close();
        // Back to the default for the next row.
        f_rx->updateFormat(8000, 1, 16, kelRTPEnc_L16, 0);
    }
}

TEST_F(kelIPReceiverPayloadTest, TypesWithoutDecoderAndForeignDynamicTypesKeepTheFormat)
{
    // The 2-byte payloads are no whole frames: undecoded, they pass.
    f_rx->setDoEncode(false);
    ASSERT_TRUE(openRx());
    // G.723 is left to the description; a dynamic type that is not the
    // description's waits for one that is.
    send(kelTestRTPPacket(4, 1, {1, 2}));
    send(kelTestRTPPacket(97, 2, {3, 4}));
    ASSERT_TRUE(f_sink->waitForBlocks(2, 10000));
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_L16);
    EXPECT_EQ(f_rx->samplingRate(), 8000);
    // Our G.722.1 type brings its bitrate.
    send(kelTestRTPPacket(121, 3, {5, 6}));
    ASSERT_TRUE(f_sink->waitForBlocks(3, 10000));
    EXPECT_EQ(f_rx->encoding(), kelRTPEnc_G7221);
    EXPECT_EQ(f_rx->samplingRate(), 32000);
    EXPECT_EQ(f_rx->bitrate(), 48);
}

TEST_F(kelIPReceiverPayloadTest, HeaderAndRawEventsSeeThePacketAndL16IsSwappedIntoAFreshBlock)
{
    ASSERT_TRUE(openRx());
    std::vector<uint8_t> samples(4001);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint8_t>(i * 7 + 1);
    send(kelTestRTPPacket(98, 0xBEEF, {0x01, 0x02, 0x03, 0x04, 0x05}, 0xA1B2C3D4, 0x01020304, true));
    send(kelTestRTPPacket(98, 0xBEF0, samples, 0, 0x01020304));
    ASSERT_TRUE(f_sink->waitForBlocks(2, 10000));
    // The data-available event comes after the consumers have the block.
    ASSERT_TRUE(kelTestWaitUntil([&] {
        std::lock_guard lock(f_log.guard);
        return f_log.deliveredBlocks.size() >= 2;
    }));
    std::vector<uint8_t> expected = {0x02, 0x01, 0x04, 0x03, 0x05};
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
        expected.push_back(samples[i + 1]);
        expected.push_back(samples[i]);
    }
    expected.push_back(samples.back());
    EXPECT_EQ(sinkBytes(), expected);

    std::lock_guard lock(f_log.guard);
    ASSERT_EQ(f_log.headers.size(), 2u);
    const rtp_hdr& h = f_log.headers[0];
    EXPECT_EQ(h.version(), 2);
    EXPECT_TRUE(h.marker());
    EXPECT_EQ(h.payloadType(), 98);
    EXPECT_EQ(h.seq(), 0xBEEF);
    EXPECT_EQ(h.timestamp(), 0xA1B2C3D4u);
    EXPECT_EQ(h.ssrc(), 0x01020304u);
    EXPECT_EQ(f_log.headerPayloads[0], (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05}));
    // onRAWDataWrite sees the payload before decoding, in network order.
    ASSERT_EQ(f_log.raw.size(), 2u);
    EXPECT_EQ(f_log.raw[0], (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05}));
    EXPECT_EQ(f_log.raw[1], samples);
    // The consumers' block is not the packet.
    ASSERT_EQ(f_log.deliveredBlocks.size(), 2u);
    EXPECT_NE(f_log.deliveredBlocks[0], f_log.rawBlocks[0]);
    EXPECT_NE(f_log.deliveredBlocks[1], f_log.rawBlocks[1]);
}

TEST_F(kelIPReceiverPayloadTest, UserNameAndSSRCReachTheWireAndADeadThreadReadsClosed)
{
    kelTestPeer rtcp(static_cast<uint16_t>(f_peer.port() + 1));
    if (!rtcp.ok()) GTEST_SKIP() << "the port after the peer's is taken; cannot watch the RTCP hole";
    const std::string uri = "rtp://alice@127.0.0.1:" + std::to_string(f_peer.port());
    f_rx->setURI(kelString(uri.begin(), uri.end()));
    f_rx->set_SSRC(0x0BADCAFE);
    ASSERT_TRUE(openRx());
    const std::vector<uint8_t> cn = f_peer.receive(10000);
    ASSERT_EQ(cn.size(), kelRTPCNPingSize);
    EXPECT_EQ(cn[1] & 0x7F, 13);
    EXPECT_EQ(rtp_hdr::read(cn.data()).ssrc(), 0x0BADCAFEu);
    const std::vector<uint8_t> report = rtcp.receive(10000);
    ASSERT_GE(report.size(), 8u);
    const std::string text(report.begin(), report.end());
    EXPECT_NE(text.find("alice@"), std::string::npos) << "CNAME without the URI's user name";
    EXPECT_EQ(static_cast<uint32_t>(report[4]) << 24 | report[5] << 16 | report[6] << 8 | report[7],
              0x0BADCAFEu);

    EXPECT_TRUE(f_rx->active());
    ASSERT_NE(f_rx->rec(), nullptr);
    ASSERT_TRUE(f_rx->rec()->stop(3000));
    EXPECT_FALSE(f_rx->active());
    // Nothing of it keeps running: the idle ticks end as well.
    kelThread* idle = kelIdleThreadOf(*f_rx);
    ASSERT_NE(idle, nullptr);
    EXPECT_TRUE(kelTestWaitUntil([&] { return idle->status() == keltsStopped; }, 10000));
}

namespace {

class kelTSWatchingReceiver : public TkelIPReceiver
{
public:
    using TkelIPReceiver::setMpegTS_enabled;
    std::atomic<int> firstRaw{0};

protected:
    bool doMpegTSFirstPacket(const uint8_t*, size_t) override
    {
        ++firstRaw;
        return false;
    }
};

} // namespace

TEST(kelIPReceiverRawTest, RawDatagramsPassWholeAndTheStartClearsTheTransportStreamFlag)
{
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    kelOwned<kelTestPipe> sink(kelCreate<kelTestPipe>("sink"));
    kelOwned<kelTSWatchingReceiver> rx(kelCreate<kelTSWatchingReceiver>());
    ASSERT_TRUE(rx->addConsumer(sink.get()));
    std::atomic<int> headers{0};
    rx->setOnRTPHeader([&](kelmtlInOutPipe*, const rtp_hdr*, const void*, uint32_t) { ++headers; });
    rx->setSwapRAWbytes(false);
    const std::string uri = "udp://127.0.0.1:" + std::to_string(peer.port());
    rx->setURI(kelString(uri.begin(), uri.end()));
    rx->setMpegTS_enabled(true);
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(sink->open());
    EXPECT_FALSE(rx->mpegTS_enabled());
    const auto port = static_cast<uint16_t>(portFromString(rx->portLocal()));
    // Even a datagram that looks like RTP is payload here.
    const std::vector<uint8_t> looksLikeRTP = kelTestRTPPacket(113, 1, {'x'});
    peer.sendTo(port, looksLikeRTP);
    peer.sendTo(port, {0x47, 0x1F});
    ASSERT_TRUE(sink->waitForBlocks(2, 10000));
    EXPECT_EQ(sink->blocks()[0].bytes, looksLikeRTP);
    EXPECT_EQ(sink->blocks()[1].bytes, (std::vector<uint8_t>{0x47, 0x1F}));
    EXPECT_EQ(rx->firstRaw.load(), 1);
    EXPECT_EQ(headers.load(), 0);
    rx->close();
}
