// The receiver's transport stream path over loopback datagrams: which
// datagrams switch it on (RTP type 33, a raw first datagram of whole
// packets), what of the stream reaches the receiver's doWrite (the payload
// of mpegTS_PID once the PMT names its type), what decoding drops, and the
// cap on what waits between datagrams.
#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPStreaming.h"

#include "tests/support/kelTestMpegTS.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

std::string tables()
{
    std::string pat = kelTestBE(1, 2) + kelTestBE(0xE000 | 0x1000, 2);
    std::string pmt = kelTestBE(0xE100, 2) + kelTestBE(0xF000, 2);
    pmt += char(3) + kelTestBE(0xE100, 2) + kelTestBE(0xF000, 2);
    pmt += char(0x0F) + kelTestBE(0xE101, 2) + kelTestBE(0xF000, 2);
    return kelTestTSSectionPackets(0, kelTestTSSection(0x00, 1, pat)) +
           kelTestTSSectionPackets(0x1000, kelTestTSSection(0x02, 1, pmt));
}

// Tables, then `count` packets of each stream: PID 0x100 (MPEG audio)
// carries 'a'..., PID 0x101 (AAC) 'b'...; `expectedA` and `expectedB`
// receive the payload bytes each stream carries.
std::string stream(int count, std::string& expectedA, std::string& expectedB)
{
    std::string ts = tables();
    for (int i = 0; i < count; ++i) {
        for (auto [pid, letter, out] :
             {std::tuple{0x100u, 'a', &expectedA}, std::tuple{0x101u, 'b', &expectedB}}) {
            kelTestTSPacketFields fields;
            fields.pid = pid;
            fields.cc = i;
            fields.unitStart = i % 8 == 0;
            const std::string body(fields.unitStart ? 184 - 14 : 184, char(letter + i % 20));
            ts += kelTestTSPacket(fields, fields.unitStart ? kelTestPESHeader() + body : body);
            *out += body;
        }
    }
    return ts;
}

std::vector<std::string> datagrams(const std::string& ts, size_t size = 1316)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < ts.size(); at += size)
        out.push_back(ts.substr(at, size));
    return out;
}

std::vector<uint8_t> bytesOf(const std::string& s)
{
    return {s.begin(), s.end()};
}

class TSReceiver
{
public:
    kelTestPeer peer;
    kelOwned<TkelIPReceiver> rx{kelCreate<TkelIPReceiver>()};
    kelOwned<kelTestByteSink> sink{kelCreate<kelTestByteSink>()};

    ~TSReceiver()
    {
        if (rx) rx->close();
    }

    bool open(bool rtp, uint32_t pid, bool decode, bool aware = true)
    {
        if (!peer.ok() || !rx || !sink || !rx->addConsumer(sink.get())) return false;
        rx->setOnRAWDataWrite([this](kelmtlInOutPipe*, const void* data, uint32_t len) {
            std::lock_guard lock(f_guard);
            f_written.append(static_cast<const char*>(data), len);
        });
        const std::string uri =
            std::string(rtp ? "rtp" : "udp") + "://127.0.0.1:" + std::to_string(peer.port());
        rx->setURI(kelString(uri.begin(), uri.end()));
        rx->setSwapRAWbytes(false);
        rx->setMpegTS_PID(pid);
        rx->setMpegTS_aware(aware);
        rx->setDoEncode(decode);
        if (!rx->open()) return false;
        f_port = uint16_t(portFromString(rx->portLocal()));
        return sink->open();
    }
    bool send(const std::vector<std::string>& grams, bool rtp)
    {
        uint16_t seq = 1;
        for (const auto& g : grams)
            if (!peer.sendTo(f_port, rtp ? kelTestRTPPacket(33, seq++, bytesOf(g)) : bytesOf(g)))
                return false;
        return true;
    }
    // Bytes handed to doWrite.
    std::string written()
    {
        std::lock_guard lock(f_guard);
        return f_written;
    }
    bool waitDatagrams(int64_t n)
    {
        return kelTestWaitUntil(
            [&] { return rx->mpegTS_demuxer() && rx->mpegTS_demuxer()->datagrams() >= n; }, 10000);
    }

private:
    uint16_t f_port = 0;
    std::mutex f_guard;
    std::string f_written;
};

} // namespace

TEST(kelIPReceiverMpegTSTest, ThePIDsPayloadReachesDoWriteFromRTPAndRawStreams)
{
    struct Case
    {
        const char* name;
        bool rtp;
        uint32_t pid;
        bool decode;
        char stream; // 'a' the MPEG audio stream, 'b' the AAC one, 0 nothing
        bool announcesMPA;
    };
    const Case cases[] = {
        {"raw, MPEG audio PID", false, 0x100, false, 'a', true},
        {"RTP type 33, MPEG audio PID", true, 0x100, false, 'a', true},
        {"RTP type 33, MPEG audio PID, decoding", true, 0x100, true, 'a', true},
        {"raw, PID 0", false, 0, false, 0, false},
        {"raw, AAC PID, passed on undecoded", false, 0x101, false, 'b', false},
        {"raw, AAC PID, decoding drops it", false, 0x101, true, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string a, b;
        const auto grams = datagrams(stream(40, a, b));
        TSReceiver r;
        ASSERT_TRUE(r.open(c.rtp, c.pid, c.decode));
        ASSERT_TRUE(r.send(grams, c.rtp));
        ASSERT_TRUE(r.waitDatagrams(int64_t(grams.size())));
        EXPECT_TRUE(r.rx->mpegTS_enabled());
        const std::string expected = c.stream == 'a' ? a : c.stream == 'b' ? b : std::string();
        EXPECT_EQ(r.written(), expected);
        EXPECT_EQ(r.rx->encoding() == kelRTPEnc_MPA, c.announcesMPA);
        EXPECT_EQ(r.rx->mpegTS_demuxer()->droppedPayloads() > 0, c.decode && c.stream == 0 && c.pid != 0);
        if (!c.decode) {
            EXPECT_TRUE(kelTestWaitUntil([&] { return r.sink->bytes() == expected; }, 5000));
        }
    }
}

// A first datagram that is not whole packets (or a receiver not aware of
// transport streams) leaves the path off for the open: every datagram is
// payload as it came.
TEST(kelIPReceiverMpegTSTest, AFirstDatagramThatIsNotAStreamKeepsThePathOff)
{
    for (bool aware : {true, false}) {
        SCOPED_TRACE(aware);
        std::string a, b;
        std::vector<std::string> grams = datagrams(stream(10, a, b));
        if (aware) grams.insert(grams.begin(), std::string(100, '\x47'));
        TSReceiver r;
        ASSERT_TRUE(r.open(false, 0x100, false, aware));
        ASSERT_TRUE(r.send(grams, false));
        std::string all;
        for (const auto& g : grams)
            all += g;
        ASSERT_TRUE(kelTestWaitUntil([&] { return r.sink->size() >= all.size(); }, 10000));
        EXPECT_EQ(r.sink->bytes(), all);
        EXPECT_FALSE(r.rx->mpegTS_enabled());
        EXPECT_EQ(r.rx->mpegTS_demuxer()->datagrams(), 0);
    }
}

// Hostile senders: every packet behind a lost byte, false sync bytes among
// the packets, garbage alone. What waits for the next datagram never grows
// past 64 KiB, and every byte written is accounted for: read as a packet,
// passed over while resyncing, dropped by the cap, or still waiting.
TEST(kelIPReceiverMpegTSTest, WhatWaitsBetweenDatagramsStaysBounded)
{
    kelTestTSPacketFields fields;
    fields.pid = 0x100;
    const std::string packet = kelTestTSPacket(fields, "");
    const std::string patterns[] = {
        '\x00' + packet,
        std::string(1, '\x47') + packet,
        packet + std::string(94, '\x47'),
        std::string(1000, '\x47'),
    };
    for (const auto& unit : patterns) {
        kelOwned<TkelIPReceiver> master(kelCreate<TkelIPReceiver>());
        ASSERT_TRUE(master);
        master->setMpegTS_PID(0x100);
        kelIPReceiverMpegTS ts(master.get());
        std::string gram;
        while (gram.size() < 60000)
            gram += unit;
        for (int i = 0; i < 10; ++i) {
            ts.receive(reinterpret_cast<const uint8_t*>(gram.data()), gram.size());
            EXPECT_LE(ts.reader().bytesLeft() + ts.reader().stream().getAvailableSize(),
                      kelIPReceiverMpegTS::kMaxKept);
        }
        const auto& s = ts.demuxer().stat();
        EXPECT_EQ(s.r_totalPackets * 188 + s.r_bytesOutOfSync + ts.bytesDropped() + ts.reader().bytesLeft() +
                      ts.reader().stream().getAvailableSize(),
                  int64_t(gram.size()) * 10);
        EXPECT_EQ(ts.demuxer().datagrams(), 10);
    }
}
