#include "codecs/kelMpeg.h"

#include "tests/support/kelTestMpegTS.h"

#include <gtest/gtest.h>

namespace {

std::string pat(uint16_t tsid, std::vector<std::pair<uint16_t, uint16_t>> programs, bool crcOk = true)
{
    std::string body;
    for (auto [number, pid] : programs)
        body += kelTestBE(number, 2) + kelTestBE(0xE000 | pid, 2);
    return kelTestTSSection(0x00, tsid, body, crcOk);
}

struct Stream
{
    uint8_t type;
    uint16_t pid;
    std::string info;
};

std::string pmt(uint16_t program, uint16_t pcr, const std::vector<Stream>& streams,
                const std::string& info = {}, bool crcOk = true)
{
    std::string body = kelTestBE(0xE000 | pcr, 2) + kelTestBE(0xF000 | info.size(), 2) + info;
    for (const auto& s : streams)
        body += char(s.type) + kelTestBE(0xE000 | s.pid, 2) + kelTestBE(0xF000 | s.info.size(), 2) + s.info;
    return kelTestTSSection(0x02, program, body, crcOk);
}

std::string esPacket(uint32_t pid, int cc, bool unitStart, const std::string& bytes)
{
    kelTestTSPacketFields fields;
    fields.pid = pid;
    fields.cc = cc;
    fields.unitStart = unitStart;
    return kelTestTSPacket(fields, unitStart ? kelTestPESHeader() + bytes : bytes);
}

// A PAT naming program 1 at PMT PID 0x100 and its PMT with one MPEG audio
// stream on 0x101.
std::string programTables()
{
    return kelTestTSSectionPackets(0, pat(1, {{1, 0x100}})) +
           kelTestTSSectionPackets(0x100, pmt(1, 0x101, {{3, 0x101, {}}}));
}

std::vector<int32_t> streamsOf(kelMpegTSDemuxer& d, uint32_t program)
{
    std::vector<int32_t> out;
    auto* p = d.programs().find<kelMpegTSProgram>(program);
    if (p == nullptr) return out;
    for (intptr_t i = 0; i < p->streams().count(); ++i)
        out.push_back(int32_t(p->streams().getInt(i)));
    return out;
}

} // namespace

TEST(kelMpegTSDemuxerTest, PESPayloadIsStrippedOfItsHeaderAndAdaptationField)
{
    kelTestTSFeed f;
    std::string expected;
    std::string ts = esPacket(0x101, 0, true, std::string(170, 'a'));
    expected += std::string(170, 'a') + std::string(184 - 14 - 170, '\xFF');
    ts += esPacket(0x101, 1, false, std::string(184, 'b'));
    expected += std::string(184, 'b');
    kelTestTSPacketFields withField;
    withField.pid = 0x101;
    withField.cc = 2;
    withField.adaptationLength = 7;
    ts += kelTestTSPacket(withField, std::string(176, 'c'));
    expected += std::string(176, 'c');
    f.feed(ts, 100);
    EXPECT_EQ(f.demuxer.payloads[0x101], expected);
    EXPECT_EQ(f.demuxer.stat().r_totalPayload, int64_t(expected.size()));
    EXPECT_EQ(f.demuxer.stream(0x101)->streamID(), 0xC0);
    EXPECT_EQ(f.demuxer.stream(0x101)->totalCnt(), 3);
}

TEST(kelMpegTSDemuxerTest, ABlockEndingInALostSyncByteWaitsForMore)
{
    kelTestTSFeed f;
    std::string two = esPacket(0x101, 0, true, "x") + esPacket(0x101, 1, false, "y");
    two[188] = 0x00;
    f.reader.write(two.data(), intptr_t(two.size()));
    EXPECT_TRUE(f.demuxer.demux(true, true, nullptr));
    EXPECT_EQ(f.demuxer.stat().r_totalPackets, 1);
    EXPECT_EQ(f.demuxer.stat().r_bytesOutOfSync, 1);
    EXPECT_EQ(f.reader.bytesLeft() + f.reader.stream().getAvailableSize(), 187);
    // Without the search the call ends at the first byte that is not a sync.
    kelTestTSFeed g;
    std::string bad = std::string(3, '\0') + esPacket(0x101, 0, true, "x");
    g.reader.write(bad.data(), intptr_t(bad.size()));
    EXPECT_FALSE(g.demuxer.demux(true, false, nullptr));
    EXPECT_EQ(g.demuxer.stat().r_bytesOutOfSync, 1);
}

// Lost, repeated, damaged and signalled-discontinuous packets on one PES
// PID: which payloads get through and what is counted.
TEST(kelMpegTSDemuxerTest, ContinuityFaultsGiveTheirCounters)
{
    struct Packet
    {
        int cc;
        bool error = false;
        bool discontinuity = false;
    };
    struct Case
    {
        const char* name;
        std::vector<Packet> packets;
        bool tolerate;
        std::string delivered; // one letter per packet index that gets through
        int64_t breaks, duplicates, errors, discontinuities;
    };
    const Case cases[] = {
        {"in order", {{0}, {1}, {2}, {3}}, false, "abcd", 0, 0, 0, 0},
        {"wraps after 15", {{14}, {15}, {0}, {1}}, false, "abcd", 0, 0, 0, 0},
        {"one lost", {{0}, {1}, {3}, {4}}, false, "abd", 1, 0, 0, 0},
        {"one lost, tolerated", {{0}, {1}, {3}, {4}}, true, "abcd", 1, 0, 0, 0},
        {"duplicated", {{0}, {1}, {1}, {2}}, false, "abd", 0, 1, 0, 0},
        {"duplicated, tolerated", {{0}, {1}, {1}, {2}}, true, "abd", 0, 1, 0, 0},
        // A damaged packet's PID cannot be trusted: its loss shows as a
        // break on the next one.
        {"corrupted", {{0}, {1, true}, {2}, {3}}, false, "ad", 1, 0, 1, 0},
        {"corrupted last", {{0}, {1}, {2, true}}, false, "ab", 0, 0, 1, 0},
        {"signalled discontinuity", {{0}, {1}, {9, false, true}, {10}}, false, "abcd", 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kelTestTSFeed f;
        f.demuxer.setTolerateContinuity(c.tolerate);
        std::string ts;
        for (size_t i = 0; i < c.packets.size(); ++i) {
            kelTestTSPacketFields fields;
            fields.pid = 0x101;
            fields.cc = c.packets[i].cc;
            fields.error = c.packets[i].error;
            if (c.packets[i].discontinuity) fields.adaptationLength = 1;
            fields.discontinuity = c.packets[i].discontinuity;
            ts += kelTestTSPacket(fields, std::string(1, char('a' + i)));
        }
        f.feed(ts);
        std::string got;
        for (size_t at = 0; at < f.demuxer.payloads[0x101].size(); ++at)
            if (f.demuxer.payloads[0x101][at] != '\xFF') got += f.demuxer.payloads[0x101][at];
        EXPECT_EQ(got, c.delivered);
        EXPECT_EQ(f.demuxer.stat().r_continuityBreaks, c.breaks);
        EXPECT_EQ(f.demuxer.stat().r_duplicatePackets, c.duplicates);
        EXPECT_EQ(f.demuxer.stat().r_errorPackets, c.errors);
        EXPECT_EQ(f.demuxer.stat().r_totalPacketsSkipped, c.errors);
        EXPECT_EQ(f.demuxer.stat().r_discontinuities, c.discontinuities);
        EXPECT_EQ(f.demuxer.stat().r_totalPackets, int64_t(c.packets.size()));
    }
}

TEST(kelMpegTSDemuxerTest, ProgramTablesNameTheStreamsAndTheirTypes)
{
    kelTestTSFeed f;
    const std::string info = kelTestTSDescriptor(0x0A, "eng\x01");
    f.feed(kelTestTSSectionPackets(0, pat(7, {{0, 0x10}, {1, 0x100}, {2, 0x200}})) +
           kelTestTSSectionPackets(0x100, pmt(1, 0x101, {{3, 0x101, info}, {0x1B, 0x102, {}}})) +
           kelTestTSSectionPackets(0x200, pmt(2, 0x201, {{4, 0x201, {}}})));
    EXPECT_EQ(f.demuxer.TSID(), 7u);
    EXPECT_EQ(f.demuxer.NID(), 0x10u);
    auto* p1 = f.demuxer.programs().find<kelMpegTSProgram>(1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1->PID_PMT(), 0x100u);
    EXPECT_EQ(p1->PID_PCR(), 0x101u);
    EXPECT_EQ(streamsOf(f.demuxer, 1), (std::vector<int32_t>{0x101, 0x102}));
    EXPECT_EQ(streamsOf(f.demuxer, 2), (std::vector<int32_t>{0x201}));
    EXPECT_EQ(f.demuxer.stream(0x101)->streamType(), 3);
    EXPECT_EQ(f.demuxer.stream(0x102)->streamType(), 0x1B);
    EXPECT_EQ(f.demuxer.stream(0x201)->streamType(), 4);
    EXPECT_EQ(f.demuxer.stream(0x101)->NID(), 0x10u);
    EXPECT_EQ(kelTestTSDescriptors(f.demuxer.stream(0x101)->desc())[0x0A], "eng\x01");
    EXPECT_EQ(f.demuxer.stat().r_sections, 3);
    EXPECT_EQ(f.demuxer.stat().r_totalPayload, 0);
}

// A section spread over packets is parsed once, when its last byte came;
// one that ends in the few payload bytes of a unit-start packet (most of it
// an adaptation field) is not lost.
TEST(kelMpegTSDemuxerTest, SectionsSpanningPacketsAreParsedOnceWhole)
{
    std::vector<Stream> many;
    for (uint16_t pid = 0x101; pid < 0x101 + 60; ++pid)
        many.push_back({3, pid, kelTestTSDescriptor(0x0A, "eng\x00")});
    // Program info sized so that the section's last 3 bytes fall into a
    // packet of their own.
    std::string section;
    for (size_t pad = 0; section.empty() || (section.size() + 1) % 184 != 3; ++pad)
        section = pmt(1, 0x101, many, kelTestTSDescriptor(0x05, std::string(pad, 'p')));
    ASSERT_GT(section.size(), 184u * 2);
    for (size_t tail : {size_t(0), size_t(3)}) {
        SCOPED_TRACE(tail);
        kelTestTSFeed f;
        std::string ts = kelTestTSSectionPackets(0, pat(1, {{1, 0x100}}));
        const std::string head = section.substr(0, section.size() - tail);
        ts += kelTestTSSectionPackets(0x100, head);
        if (tail > 0) {
            // The end behind a pointer_field in a unit-start packet with an
            // adaptation field of 179 bytes: 4 payload bytes in all.
            kelTestTSPacketFields fields;
            fields.pid = 0x100;
            fields.cc = int((head.size() + 1) / 184);
            fields.unitStart = true;
            fields.adaptationLength = 179;
            ts += kelTestTSPacket(fields, char(tail) + section.substr(section.size() - tail));
        }
        f.feed(ts, 188);
        EXPECT_EQ(streamsOf(f.demuxer, 1).size(), 60u);
        EXPECT_EQ(f.demuxer.stat().r_sections, 2);
        EXPECT_EQ(f.demuxer.stat().r_sectionsCut, 0);
    }
}

// Golden packets for the faults a careless reading of the format makes.
TEST(kelMpegTSDemuxerTest, AnAdaptationFieldTooLongForItsPacketIsClamped)
{
    kelTestTSFeed f;
    kelTestTSPacketFields fields;
    fields.pid = 0x101;
    fields.adaptationLength = 200;
    std::string ts = kelTestTSPacket(fields, "");
    ts += esPacket(0x101, 1, false, "next");
    f.feed(ts);
    EXPECT_EQ(f.demuxer.stat().r_damagedPackets, 1);
    EXPECT_EQ(f.demuxer.stat().r_totalPackets, 2);
    EXPECT_EQ(f.demuxer.payloads[0x101].substr(0, 4), "next");
}

TEST(kelMpegTSDemuxerTest, AfterLostSyncAFalseSyncByteInGarbageIsPassedOver)
{
    kelTestTSFeed f;
    std::string ts = esPacket(0x101, 0, true, "A");
    ts += std::string("\x01\x47\x13\x37", 4);
    ts += esPacket(0x101, 1, false, "B") + esPacket(0x101, 2, false, "C");
    f.feed(ts, 97);
    std::string letters;
    for (char c : f.demuxer.payloads[0x101])
        if (c != '\xFF') letters += c;
    EXPECT_EQ(letters, "ABC");
    EXPECT_EQ(f.demuxer.stat().r_totalPackets, 3);
    EXPECT_EQ(f.demuxer.stat().r_syncLosses, 1);
    EXPECT_EQ(f.demuxer.stat().r_bytesOutOfSync, 4);
    EXPECT_EQ(f.demuxer.stat().r_continuityBreaks, 0);
}

TEST(kelMpegTSDemuxerTest, ADescriptorLengthCannotReadPastItsSection)
{
    kelTestTSFeed f;
    // ES_info_length claims 300 bytes; the section holds a 2-byte descriptor.
    std::string body = kelTestBE(0xE101, 2) + kelTestBE(0xF000, 2);
    body += char(3) + kelTestBE(0xE101, 2) + kelTestBE(0xF000 | 300, 2) + kelTestTSDescriptor(0x52, "");
    std::string ts = kelTestTSSectionPackets(0, pat(1, {{1, 0x100}}));
    ts += kelTestTSSectionPackets(0x100, kelTestTSSection(0x02, 1, body));
    ts += esPacket(0x101, 0, true, std::string(150, '\x52'));
    f.feed(ts);
    auto descs = kelTestTSDescriptors(f.demuxer.stream(0x101)->desc());
    ASSERT_EQ(descs.size(), 1u);
    EXPECT_EQ(descs[0x52], "");
    EXPECT_EQ(f.demuxer.stream(0x101)->streamType(), 3);
}

TEST(kelMpegTSDemuxerTest, SectionsBackToBackInAPacketAreAllTaken)
{
    kelTestTSFeed f;
    auto eit = [](uint16_t service, uint16_t event, const std::string& name) {
        std::string body = kelTestBE(0x0001, 2) + kelTestBE(0x2000, 2) + '\0' + '\x4E';
        const std::string desc =
            kelTestTSDescriptor(0x4D, "eng" + std::string(1, char(name.size())) + name + '\0');
        body += kelTestBE(event, 2) + std::string("\xE8\x4A\x12\x00\x00", 5) +
                std::string("\x01\x30\x00", 3) + kelTestBE(0x8000 | desc.size(), 2) + desc;
        return kelTestTSSection(0x4E, service, body);
    };
    f.feed(kelTestTSSectionPackets(0x12, eit(1, 10, "News") + eit(2, 20, "Film") + eit(3, 30, "Sport")));
    ASSERT_EQ(f.demuxer.events.size(), 3u);
    EXPECT_EQ(f.demuxer.events[1].id, 20u);
    EXPECT_EQ(f.demuxer.events[1].service, 2u);
    EXPECT_EQ(f.demuxer.events[1].tsid, 1u);
    EXPECT_EQ(f.demuxer.events[1].nid, 0x2000u);
    EXPECT_EQ(f.demuxer.events[1].duration, 0x013000u);
    EXPECT_EQ(f.demuxer.events[1].running, 4);
    EXPECT_EQ(f.demuxer.events[1].start, 0x0000124AE8ull);
    EXPECT_EQ(f.demuxer.events[2].descriptors[0x4D].substr(4, 5), "Sport");
}

// A PMT cut short by the next unit start, or with a bad CRC_32, leaves the
// program as the last good PMT made it.
TEST(kelMpegTSDemuxerTest, ACutOrCorruptSectionIsDroppedNotParsed)
{
    const std::string good = pmt(1, 0x101, {{3, 0x101, {}}, {3, 0x102, {}}});
    const std::string bad = pmt(1, 0x101, {}, {}, false);
    struct Case
    {
        const char* name;
        std::string second;
        int64_t cut, crc;
    };
    // The first 183 bytes of a longer PMT fill one packet; the next packet
    // starts a new unit.
    std::vector<Stream> many;
    for (uint16_t pid = 0x101; pid < 0x101 + 40; ++pid)
        many.push_back({3, pid, {}});
    std::string cutPackets = kelTestTSSectionPackets(0x100, pmt(1, 0x101, many).substr(0, 183), 1);
    cutPackets += kelTestTSSectionPackets(0x100, kelTestTSSection(0x72, 0, ""), 2);
    const Case cases[] = {
        {"cut by the next unit start", cutPackets, 1, 0},
        {"bad CRC", kelTestTSSectionPackets(0x100, bad, 1), 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kelTestTSFeed f;
        f.feed(kelTestTSSectionPackets(0, pat(1, {{1, 0x100}})) + kelTestTSSectionPackets(0x100, good) +
               c.second);
        EXPECT_EQ(streamsOf(f.demuxer, 1), (std::vector<int32_t>{0x101, 0x102}));
        EXPECT_EQ(f.demuxer.stat().r_sectionsCut, c.cut);
        EXPECT_EQ(f.demuxer.stat().r_sectionsCrcFailed, c.crc);
    }
}

TEST(kelMpegTSDemuxerTest, NetworkTransportEntriesStayOutOfTheStreams)
{
    kelTestTSFeed f;
    std::string nit = kelTestBE(0xF000 | 6, 2) + kelTestTSDescriptor(0x40, "Net1");
    const std::string entryDesc = kelTestTSDescriptor(0x41, std::string("\x00\x01\x01", 3));
    const std::string entry =
        kelTestBE(0x0101, 2) + kelTestBE(0x2222, 2) + kelTestBE(0xF000 | entryDesc.size(), 2) + entryDesc;
    nit += kelTestBE(0xF000 | entry.size(), 2) + entry;
    f.feed(programTables() + kelTestTSSectionPackets(0x10, kelTestTSSection(0x40, 0x3333, nit)));
    auto* network = f.demuxer.networks().find<kelMpegTSNetwork>(0x3333);
    ASSERT_NE(network, nullptr);
    EXPECT_EQ(network->desc().descriptor(0x40)->asString(), u"Net1");
    ASSERT_NE(network->transport(0x0101), nullptr);
    EXPECT_EQ(network->transport(0x0101)->NID(), 0x2222u);
    EXPECT_EQ(kelTestTSDescriptors(network->transport(0x0101)->desc())[0x41], std::string("\x00\x01\x01", 3));
    EXPECT_EQ(f.demuxer.stream(0x101)->streamType(), 3);
    EXPECT_EQ(f.demuxer.stream(0x101)->NID(), kelMpegTSDemuxer::kUnknownPID);
}

// The smaller cases: a long-form section_length below the header, a lone
// descriptor byte, more PES PIDs than a small table would hold, and a
// table budget that runs out.
TEST(kelMpegTSDemuxerTest, MalformedLengthsAndLimitsAreHandled)
{
    {
        kelTestTSFeed f;
        std::string tiny = kelTestTSSection(0x02, 1, "");
        tiny[1] = char(0xB0);
        tiny[2] = char(3);
        f.feed(programTables() + kelTestTSSectionPackets(0x100, tiny.substr(0, 6), 1));
        EXPECT_EQ(f.demuxer.stat().r_sectionsMalformed, 1);
        EXPECT_EQ(streamsOf(f.demuxer, 1), (std::vector<int32_t>{0x101}));
    }
    {
        kelTestTSFeed f;
        f.feed(kelTestTSSectionPackets(0, pat(1, {{1, 0x100}})) +
               kelTestTSSectionPackets(
                   0x100, pmt(1, 0x101, {{3, 0x101, {}}}, kelTestTSDescriptor(0x0E, "ab") + "\x09")));
        EXPECT_EQ(kelTestTSDescriptors(f.demuxer.programs().find<kelMpegTSProgram>(1)->desc()).size(), 1u);
        EXPECT_EQ(streamsOf(f.demuxer, 1), (std::vector<int32_t>{0x101}));
    }
    {
        kelTestTSFeed f;
        std::string ts;
        for (uint32_t pid = 0x300; pid < 0x300 + 300; ++pid)
            ts += esPacket(pid, 0, true, "s") + esPacket(pid, 1, false, "t");
        ts += esPacket(0x300 + 299, 2, true, "u");
        f.feed(ts);
        EXPECT_EQ(f.demuxer.payloads[0x300 + 299].substr(0, 1), "s");
        EXPECT_EQ(f.demuxer.payloads[0x300 + 299].substr(184 - 14, 1), "t");
        EXPECT_EQ(f.demuxer.payloads[0x300 + 299].substr(184 - 14 + 184, 1), "u");
        EXPECT_EQ(f.demuxer.stat().r_pesDropped, 0);
    }
    {
        kelTestTSFeed f;
        f.demuxer.setTableBudget(16 * 1024);
        std::string sections;
        for (int s = 0; s < 200; ++s) {
            std::string body = kelTestBE(0x2000, 2) + '\xFF';
            for (int k = 0; k < 10; ++k) {
                const std::string desc = kelTestTSDescriptor(0x48, "\x01\x02"
                                                                   "ab\x03"
                                                                   "xyz");
                body +=
                    kelTestBE(uint32_t(s * 10 + k), 2) + '\xFC' + kelTestBE(0x8000 | desc.size(), 2) + desc;
            }
            sections += kelTestTSSectionPackets(0x11, kelTestTSSection(0x42, 1, body), s);
        }
        f.feed(sections);
        EXPECT_LE(f.demuxer.tableBytes(), 16 * 1024);
        EXPECT_GT(f.demuxer.stat().r_tablesRefused, 0);
        EXPECT_GT(f.demuxer.services().count(), 0);
        EXPECT_LT(f.demuxer.services().count(), 2000);
    }
}
