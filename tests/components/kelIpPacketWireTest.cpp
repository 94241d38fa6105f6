// The IP pipes' packet protocol as pure routines: the header's bytes, the
// cut into pieces at the datagram limit, joining pieces (whole sets only),
// TCP streams cut anywhere, UDP sequence gaps, and byte-order processing.

#include "components/kelMT_socks.h"
#include "tests/support/kelTestIpPipes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Got
{
    uint8_t cmd;
    uint16_t seq;
    std::string payload;
};

kelIpPacketSink collect(std::vector<Got>& out)
{
    return [&out](uint8_t cmd, uint16_t seq, const uint8_t* p, size_t n) {
        out.push_back(Got{cmd, seq, std::string(reinterpret_cast<const char*>(p), n)});
    };
}

// Every piece of a packet as the library cuts it.
std::vector<std::string> cut(uint8_t cmd, uint16_t seq, const std::string& payload, uint32_t mtu)
{
    const uint32_t datagram = kelIpDatagramSize(mtu, payload.size());
    std::vector<std::string> out;
    std::vector<uint8_t> buf(datagram);
    const uint16_t sum = kelIpChecksum(payload.data(), payload.size());
    for (size_t i = 0;; ++i) {
        const uint32_t n =
            kelIpBuildPiece(cmd, sum, seq, payload.data(), payload.size(), datagram, i, buf.data());
        if (n == 0) break;
        out.emplace_back(reinterpret_cast<const char*>(buf.data()), n);
    }
    return out;
}

} // namespace

TEST(kelIpPacketWireTest, HeaderBytesFollowTheTable)
{
    const std::string hello = cut(kelIpCmdHello, 1, {}, 1500).at(0);
    EXPECT_EQ(hello, std::string("\x01\x00\x00\x01\x00\x80\x00\x00", 8));
    EXPECT_EQ(hello, kelTestIpPacket(kelIpCmdHello, 1));
    const std::string text = "abc";
    EXPECT_EQ(cut(kelIpCmdText, 0x1234, text, 1500).at(0), kelTestIpPacket(kelIpCmdText, 0x1234, text));
    kelIpHeader h;
    ASSERT_TRUE(kelIpReadHeader(hello.data(), hello.size(), h));
    EXPECT_EQ(h.cmd, kelIpCmdHello);
    EXPECT_EQ(h.seq, 1);
    EXPECT_TRUE(h.last);
    EXPECT_FALSE(kelIpReadHeader(hello.data(), 7, h));
}

TEST(kelIpPacketWireTest, PiecesAtTheDatagramLimit)
{
    struct Case
    {
        size_t len;
        size_t pieces;
    } cases[] = {{0, 1}, {1492, 1}, {1493, 2}, {1492 * 128, 128}, {1492 * 128 + 1, 0}};
    for (const Case& c : cases) {
        const std::string payload = kelTestSocksPattern(c.len);
        const std::vector<std::string> pieces = cut(kelIpCmdData, 7, payload, 1500);
        EXPECT_EQ(pieces.size(), c.pieces) << c.len;
        std::string joined;
        for (size_t i = 0; i < pieces.size(); ++i) {
            kelIpHeader h;
            ASSERT_TRUE(kelIpReadHeader(pieces[i].data(), pieces[i].size(), h));
            EXPECT_EQ(h.index, i);
            EXPECT_EQ(h.last, i + 1 == pieces.size());
            EXPECT_EQ(h.size + kelIpHeaderSize, pieces[i].size());
            joined += pieces[i].substr(kelIpHeaderSize);
        }
        if (c.pieces != 0) {
            EXPECT_EQ(joined, payload);
        }
    }
    EXPECT_EQ(kelIpMaxPacketPayload(1500), 190976u);
    EXPECT_EQ(kelIpDatagramSize(65534, 5000), 2000u);
}

TEST(kelIpPacketWireTest, JoinsOnlyWholeSetsWithTheirChecksum)
{
    const std::string payload = kelTestSocksPattern(3000);
    const std::vector<std::string> p = cut(kelIpCmdData, 1, payload, 1500); // 3 pieces
    std::string bad = p[1];
    bad[20] ^= 1;
    const std::string stray = kelTestIpPiece(kelIpCmdData, 1, 5, false, "x", payload);
    struct Case
    {
        const char* name;
        std::vector<std::string> pieces;
        size_t packets;
        uint64_t crc, dup;
    } cases[] = {
        {"in order", {p[0], p[1], p[2]}, 1, 0, 0},
        {"reordered", {p[2], p[0], p[1]}, 1, 0, 0},
        {"duplicate", {p[0], p[0], p[1], p[2]}, 1, 0, 1},
        {"corrupted", {p[0], bad, p[2]}, 0, 1, 0},
        // A piece past the set and then a whole count must not join a hole.
        {"stray index", {stray, p[1], p[2]}, 0, 1, 0},
        {"missing", {p[0], p[2]}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        kelIpPieceJoiner joiner;
        std::vector<Got> got;
        for (const std::string& piece : c.pieces) {
            kelIpHeader h;
            ASSERT_TRUE(kelIpReadHeader(piece.data(), piece.size(), h));
            joiner.offer(h, reinterpret_cast<const uint8_t*>(piece.data()) + 8, collect(got));
        }
        EXPECT_EQ(got.size(), c.packets) << c.name;
        if (!got.empty()) {
            EXPECT_EQ(got[0].payload, payload) << c.name;
        }
        EXPECT_EQ(joiner.crcErrors(), c.crc) << c.name;
        EXPECT_EQ(joiner.dupCount(), c.dup) << c.name;
    }
}

TEST(kelIpPacketWireTest, TcpStreamCutAnywhereGivesThePackets)
{
    // Three packets, the middle one larger than a 16-bit size.
    const std::string big = kelTestSocksPattern(100000, 3);
    std::string stream;
    for (const std::string& s : cut(kelIpCmdHello, 1, {}, 1500))
        stream += s;
    for (const std::string& s : cut(kelIpCmdData, 2, big, 1500))
        stream += s;
    for (const std::string& s : cut(kelIpCmdText, 3, "hi", 1500))
        stream += s;
    for (size_t step : {size_t(1), size_t(7), size_t(8), size_t(1499), stream.size()}) {
        kelIpTcpReassembler r;
        std::vector<Got> got;
        for (size_t at = 0; at < stream.size(); at += step)
            r.feed(stream.data() + at, std::min(step, stream.size() - at), collect(got));
        ASSERT_EQ(got.size(), 3u) << step;
        EXPECT_EQ(got[0].cmd, kelIpCmdHello);
        EXPECT_EQ(got[1].payload, big) << step;
        EXPECT_EQ(got[2].payload, "hi");
        EXPECT_EQ(r.held(), 0u);
    }
}

TEST(kelIpPacketWireTest, TcpSequenceBreakResynchronises)
{
    kelIpTcpReassembler r;
    std::vector<Got> got;
    const std::string s = kelTestIpPacket(kelIpCmdText, 1, "a") + kelTestIpPacket(kelIpCmdText, 5, "b") +
                          kelTestIpPacket(kelIpCmdText, 6, "c");
    r.feed(s.data(), s.size(), collect(got));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(r.joiner().outOfSeq(), 1u);
    EXPECT_EQ(r.joiner().expectedSeq(), 7);
}

TEST(kelIpPacketWireTest, UdpLossIsOnlyAStepForward)
{
    struct Case
    {
        const char* name;
        uint16_t start;
        std::vector<uint16_t> seqs;
        uint64_t lost, late;
    } cases[] = {
        {"pieces of one packet", 1, {1, 1, 1, 2, 2, 3}, 0, 0}, {"gap", 1, {1, 2, 5}, 2, 0},
        {"gap across the wrap", 65534, {65534, 1}, 2, 0},      {"late one", 1, {1, 3, 2, 4}, 1, 1},
        {"duplicate of an older one", 1, {1, 2, 3, 2}, 0, 1},
    };
    for (const Case& c : cases) {
        kelIpUdpSequence seq(c.start);
        for (uint16_t s : c.seqs)
            (void)seq.offer(s);
        EXPECT_EQ(seq.lostTotal(), c.lost) << c.name;
        EXPECT_EQ(seq.lateTotal(), c.late) << c.name;
    }
}

TEST(kelIpPacketWireTest, ByteOrderHoldsUnderFourBytesOnceStarted)
{
    kelIpByteOrder order;
    std::vector<uint8_t> out;
    const std::string in = kelTestSocksPattern(1000);
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    order.process(kelsbo_swap, p, 100, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(order.held(), 100u);
    size_t at = 100, emitted = 0;
    std::string all;
    for (size_t n : {size_t(3), size_t(5), size_t(7), size_t(1), size_t(9), size_t(2)}) {
        order.process(kelsbo_swap, p + at, n, out);
        at += n;
        emitted += out.size();
        all.append(out.begin(), out.end());
        EXPECT_EQ(out.size() % 4, 0u);
        EXPECT_LT(order.held(), 4u) << n;
        EXPECT_EQ(emitted + order.held(), at);
    }
    for (size_t i = 0; i + 1 < all.size(); i += 2) {
        EXPECT_EQ(all[i], in[i + 1]);
        EXPECT_EQ(all[i + 1], in[i]);
    }
}

TEST(kelIpPacketWireTest, DetectsTheReadingOfASmoothSignal)
{
    // A slow stereo ramp written little-endian, big-endian, and one byte off.
    std::string le;
    for (int i = 0; i < 400; ++i) {
        const int16_t v = static_cast<int16_t>(i * 37 - 7000);
        for (int ch = 0; ch < 2; ++ch) {
            le.push_back(static_cast<char>(v & 0xFF));
            le.push_back(static_cast<char>((v >> 8) & 0xFF));
        }
    }
    std::string be = le;
    for (size_t i = 0; i + 1 < be.size(); i += 2)
        std::swap(be[i], be[i + 1]);
    struct Case
    {
        std::string data;
        kelIpByteOrder::Reading reading;
    } cases[] = {{le, kelIpByteOrder::kAsIs},
                 {be, kelIpByteOrder::kSwap},
                 {"x" + le, kelIpByteOrder::kSkipByte},
                 {"x" + be, kelIpByteOrder::kSkipByteSwap}};
    for (const Case& c : cases)
        EXPECT_EQ(kelIpByteOrder::detect(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size()),
                  c.reading);
    // Detected once: the one-byte-off big-endian stream comes out as the
    // little-endian one, whatever the calls' sizes.
    kelIpByteOrder order;
    std::string out;
    std::vector<uint8_t> block;
    const std::string in = "x" + be;
    for (size_t at = 0; at < in.size(); at += 61) {
        order.process(kelsbo_autoDetectOnce, reinterpret_cast<const uint8_t*>(in.data()) + at,
                      std::min<size_t>(61, in.size() - at), block);
        out.append(block.begin(), block.end());
    }
    EXPECT_EQ(out, le.substr(0, out.size()));
    EXPECT_GE(out.size() + 4, le.size());
}
