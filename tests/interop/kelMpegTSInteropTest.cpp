// The demultiplexer against independent readers of the same streams: the
// programs ffprobe lists, the elementary stream bytes ffmpeg copies out, and
// the tables libdvbpsi decodes (through a small peer program), on a
// two-program stream ffmpeg makes with SDT and NIT, plus hand-made EIT
// sections. Skips when a tool is missing.
#include "codecs/kelMpeg.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMpegTS.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>

namespace {

std::string hex(const std::string& bytes)
{
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

std::string descLine(kelMpegTSDescriptorList& list)
{
    std::string out = " desc=";
    for (const auto& [tag, data] : kelTestTSDescriptors(list)) {
        char t[4];
        std::snprintf(t, sizeof t, "%02x:", tag);
        out += t + hex(data) + ",";
    }
    return out;
}

template <class T> T* at(kelMpegTS_pwnIDList& list, intptr_t i)
{
    return static_cast<T*>(list.getObject(i));
}

// Our tables in the peer's line format.
std::set<std::string> ourLines(kelTestTSDemuxer& d)
{
    std::set<std::string> lines;
    char b[256];
    if (d.NID() != kelMpegTSDemuxer::kUnknownPID) {
        std::snprintf(b, sizeof b, "PAT ts=%u program=0 pid=%u", d.TSID(), d.NID());
        lines.insert(b);
    }
    for (intptr_t i = 0; i < d.programs().count(); ++i) {
        auto* p = at<kelMpegTSProgram>(d.programs(), i);
        std::snprintf(b, sizeof b, "PAT ts=%u program=%u pid=%u", d.TSID(), p->ID(), p->PID_PMT());
        lines.insert(b);
        std::snprintf(b, sizeof b, "PMT program=%u pcr=%u", p->ID(), p->PID_PCR());
        lines.insert(b + descLine(p->desc()));
        for (intptr_t k = 0; k < p->streams().count(); ++k) {
            auto* es = d.stream(uint32_t(p->streams().getInt(k)));
            std::snprintf(b, sizeof b, "ES program=%u pid=%u type=%u", p->ID(), es->ID(), es->streamType());
            lines.insert(b + descLine(es->desc()));
        }
    }
    for (intptr_t i = 0; i < d.services().count(); ++i) {
        auto* s = at<kelMpegTSService>(d.services(), i);
        std::snprintf(b, sizeof b, "SDT ts=%u onid=%u service=%u sched=%d pf=%d running=%u ca=%d", s->TSID(),
                      s->NID(), s->ID(), int(s->EIT_schedule_flag()), int(s->EIT_present_following_flag()),
                      unsigned(s->running_status()), int(s->free_CA_mode()));
        lines.insert(b + descLine(s->desc()));
    }
    for (intptr_t i = 0; i < d.networks().count(); ++i) {
        auto* n = at<kelMpegTSNetwork>(d.networks(), i);
        std::snprintf(b, sizeof b, "NIT network=%u", n->ID());
        lines.insert(b + descLine(n->desc()));
        for (intptr_t k = 0; k < n->transports().count(); ++k) {
            auto* t = at<kelMpegTSTransport>(n->transports(), k);
            std::snprintf(b, sizeof b, "NITTS network=%u ts=%u onid=%u", n->ID(), t->TSID(), t->NID());
            lines.insert(b + descLine(t->desc()));
        }
    }
    for (auto& e : d.events) {
        // The five start_time bytes, first byte lowest: printed in stream
        // order as the peer does.
        uint64_t start = 0;
        for (int k = 0; k < 5; ++k)
            start = (start << 8) | ((e.start >> (8 * k)) & 0xFF);
        std::snprintf(b, sizeof b,
                      "EIT service=%u ts=%u onid=%u event=%u start=%010llx duration=%06x running=%u ca=%d",
                      e.service, e.tsid, e.nid, e.id, static_cast<unsigned long long>(start), e.duration,
                      unsigned(e.running), int(e.freeCA));
        std::string line = b;
        line += " desc=";
        for (const auto& [tag, data] : e.descriptors) {
            char t[4];
            std::snprintf(t, sizeof t, "%02x:", tag);
            line += t + hex(data) + ",";
        }
        lines.insert(line);
    }
    return lines;
}

std::set<std::string> splitLines(const std::string& text)
{
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.insert(line);
    return out;
}

// Hand-made EIT sections on PID 0x12: three short ones packed into one
// packet and a long one spanning several.
std::string eitPackets()
{
    auto eit = [](uint16_t service, int events, int nameLength) {
        std::string body = kelTestBE(1, 2) + kelTestBE(0xFF01, 2) + '\0' + '\x4E';
        for (int e = 0; e < events; ++e) {
            const std::string name(size_t(nameLength), char('A' + e % 26));
            std::string desc =
                kelTestTSDescriptor(0x4D, "eng" + std::string(1, char(name.size())) + name + '\0');
            desc += kelTestTSDescriptor(0x54, std::string("\x30\x00", 2));
            body += kelTestBE(uint32_t(service * 100 + e), 2) + std::string("\xE8\x4A\x12", 3) +
                    char(0x30 + e % 10) + '\0' + std::string("\x01\x30\x00", 3) +
                    kelTestBE(0x8000 | uint32_t(desc.size()), 2) + desc;
        }
        return kelTestTSSection(0x4E, service, body);
    };
    // Sent twice, as a broadcaster repeats its tables: the peer reports a
    // table once it has seen it again.
    const std::string packed = eit(1, 1, 8) + eit(2, 2, 6) + eit(3, 1, 10);
    const std::string spanning = eit(4, 12, 40);
    std::string out;
    int cc = 0;
    for (int round = 0; round < 2; ++round) {
        out += kelTestTSSectionPackets(0x12, packed, cc);
        cc += 1;
        out += kelTestTSSectionPackets(0x12, spanning, cc);
        cc += int((spanning.size() + 1 + 183) / 184);
    }
    return out;
}

class kelMpegTSInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("ffprobe"))
            GTEST_SKIP() << "ffmpeg/ffprobe are not installed";
        ts = dir.file("two.ts");
        ASSERT_TRUE(kelTestMakeTwoProgramTS(ts));
        bytes = kelReadBytes(ts);
        ASSERT_GT(bytes.size(), 188u * 100);
    }

    kelTempDir dir;
    std::string ts;
    std::string bytes;
};

} // namespace

TEST_F(kelMpegTSInteropTest, ProgramsAreThoseFfprobeLists)
{
    kelTestTSFeed f;
    f.feed(bytes);
    const auto probe =
        kelTestProcess::filter("ffprobe -v error -show_programs -of flat -i - 2>/dev/null", bytes);
    ASSERT_TRUE(probe.has_value());
    std::map<std::string, std::string> fields;
    std::istringstream in(*probe);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        fields[line.substr(0, eq)] = value;
    }
    int programs = 0;
    for (int i = 0; fields.count("programs.program." + std::to_string(i) + ".program_num"); ++i, ++programs) {
        const std::string p = "programs.program." + std::to_string(i) + ".";
        auto* ours =
            f.demuxer.programs().find<kelMpegTSProgram>(uint32_t(std::stoul(fields[p + "program_num"])));
        ASSERT_NE(ours, nullptr);
        EXPECT_EQ(ours->PID_PMT(), std::stoul(fields[p + "pmt_pid"]));
        EXPECT_EQ(ours->PID_PCR(), std::stoul(fields[p + "pcr_pid"]));
        ASSERT_EQ(ours->streams().count(), intptr_t(std::stoul(fields[p + "nb_streams"])));
        for (intptr_t s = 0; s < ours->streams().count(); ++s) {
            const std::string q = p + "streams.stream." + std::to_string(s) + ".";
            const uint32_t pid = uint32_t(std::stoul(fields[q + "id"], nullptr, 16));
            EXPECT_EQ(ours->streams().getInt(s), pid);
            EXPECT_EQ(f.demuxer.stream(pid)->streamType(), std::stoul(fields[q + "codec_tag"], nullptr, 16));
        }
    }
    EXPECT_EQ(programs, 2);
    EXPECT_EQ(f.demuxer.programs().count(), programs);
    EXPECT_EQ(f.demuxer.stat().r_continuityBreaks + f.demuxer.stat().r_sectionsCrcFailed, 0);
}

TEST_F(kelMpegTSInteropTest, PayloadBytesAreWhatFfmpegCopiesOut)
{
    kelTestTSFeed f;
    f.feed(bytes);
    const auto copied = kelTestProcess::filter("ffmpeg -v error -i - -map 0:0 -c copy -f mp2 -", bytes);
    ASSERT_TRUE(copied.has_value());
    ASSERT_GT(copied->size(), 10000u);
    const std::string& ours = f.demuxer.payloads[0x100];
    ASSERT_EQ(ours.size(), copied->size());
    EXPECT_TRUE(ours == *copied) << "the bytes differ";
}

TEST_F(kelMpegTSInteropTest, TablesAreWhatLibdvbpsiDecodes)
{
#ifndef KEL_DVBPSI_PEER
    GTEST_SKIP() << "libdvbpsi-dev is not installed: no peer was built";
#else
    const std::string withEit = bytes + eitPackets();
    const std::string file = dir.file("eit.ts");
    kelWriteBytes(file, withEit);
    const auto peer = kelTestProcess::filter(std::string(KEL_DVBPSI_PEER) + " '" + file + "'", "");
    ASSERT_TRUE(peer.has_value());
    const std::set<std::string> theirs = splitLines(*peer);
    kelTestTSFeed f;
    f.feed(withEit, 1316);
    const std::set<std::string> ours = ourLines(f.demuxer);
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(f.demuxer.events.size(), 2 * 16u);
    EXPECT_GT(theirs.size(), 20u);
#endif
}

// The fixture with one packet of PID 0x100 left out, one sent twice and one
// marked damaged (each followed by more of the PID): the counters say so
// exactly, and the other program's stream comes through whole.
TEST_F(kelMpegTSInteropTest, DroppedDuplicatedAndDamagedPacketsAreCountedExactly)
{
    std::vector<size_t> audio;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const uint32_t pid = (uint32_t(uint8_t(bytes[at + 1]) & 0x1F) << 8) | uint8_t(bytes[at + 2]);
        if (pid == 0x100 && (bytes[at + 3] & 0x10)) audio.push_back(at);
    }
    ASSERT_GT(audio.size(), 300u);
    std::string damaged;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        std::string packet = bytes.substr(at, 188);
        if (at == audio[100]) continue;
        if (at == audio[200]) damaged += packet;
        if (at == audio[250]) packet[1] = char(packet[1] | 0x80);
        damaged += packet;
    }
    kelTestTSFeed clean;
    clean.feed(bytes);
    kelTestTSFeed f;
    f.feed(damaged);
    const auto& s = f.demuxer.stat();
    EXPECT_EQ(s.r_continuityBreaks, 2); // the packet after the lost one, and after the damaged one
    EXPECT_EQ(s.r_duplicatePackets, 1);
    EXPECT_EQ(s.r_errorPackets, 1);
    EXPECT_EQ(s.r_totalPackets, clean.demuxer.stat().r_totalPackets);
    EXPECT_EQ(s.r_totalPacketsSkipped, clean.demuxer.stat().r_totalPacketsSkipped + 1);
    EXPECT_EQ(s.r_syncLosses + s.r_sectionsCrcFailed + s.r_sectionsCut, 0);
    EXPECT_TRUE(f.demuxer.payloads[0x101] == clean.demuxer.payloads[0x101]);
    // Four packets' payloads are missing: the lost, the damaged and the two
    // dropped behind them.
    auto payloadOf = [&](size_t at) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        size_t used = 4;
        if (p[3] & 0x20) used += 1 + p[4];
        if (p[1] & 0x40) used += 9 + p[used + 8];
        return 188 - used;
    };
    size_t missing = 0;
    for (size_t i : {100, 101, 250, 251})
        missing += payloadOf(audio[i]);
    EXPECT_EQ(clean.demuxer.payloads[0x100].size() - f.demuxer.payloads[0x100].size(), missing);
}
