// How a broadcast client judges datagrams: the format it takes, losses,
// duplicates and late packets, and the one sender it follows among several.

#include "components/kelmtlBroadcastReception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const kelBroadcastSender kA{0x7F000001, 40000};
const kelBroadcastSender kB{0x7F000001, 40002};

Bytes format(uint8_t index, bool changed = false, uint32_t rate = 48000, uint8_t channels = 2)
{
    kelBroadcastFormat f;
    f.index = index;
    f.changed = changed;
    f.samplesPerSec = rate;
    f.numChannels = channels;
    Bytes out(kelBroadcastFormatSize);
    kelBuildBroadcastFormat(f, out.data());
    return out;
}

Bytes data(uint8_t seq, uint8_t index = 3, uint8_t channel = 0)
{
    const uint8_t payload[4] = {seq, seq, seq, seq};
    kelBroadcastData d;
    d.sequence = seq;
    d.index = index;
    d.channelMedia = channel;
    d.payload = payload;
    d.length = sizeof payload;
    Bytes out(sizeof payload + kelBroadcastDataOverhead);
    kelBuildBroadcastData(d, out.data());
    return out;
}

struct Step
{
    Bytes datagram;
    kelBroadcastVerdict verdict;
    kelBroadcastSender from = kA;
    uint64_t atMs = 0;
};

struct Counts
{
    uint64_t lost = 0, late = 0, damaged = 0, foreign = 0;
};

struct Case
{
    const char* name;
    std::vector<Step> steps;
    Counts counts;
};

std::string verdictName(kelBroadcastVerdict v)
{
    const char* names[] = {"ignored", "damaged", "foreign", "format", "formatKept", "data", "late"};
    return names[v];
}

} // namespace

TEST(kelmtlBroadcastReceptionTest, JudgesSequencesFormatsAndSendersAsTheRulesSay)
{
    const Case cases[] = {
        {"data before any format is ignored, the first format is taken",
         {{data(1), kelbv_ignored},
          {format(3), kelbv_format},
          {format(3), kelbv_formatKept},
          {data(2), kelbv_data}},
         {}},
        {"a lost datagram: the next one is delivered and the gap counted",
         {{format(3), kelbv_format},
          {data(1), kelbv_data},
          {data(2), kelbv_data},
          {data(4), kelbv_data},
          {data(5), kelbv_data}},
         {1, 0, 0, 0}},
        {"the gap is the forward distance across the wrap",
         {{format(3), kelbv_format}, {data(14), kelbv_data}, {data(2), kelbv_data}, {data(3), kelbv_data}},
         {3, 0, 0, 0}},
        {"a swap costs the late one only",
         {{format(3), kelbv_format},
          {data(1), kelbv_data},
          {data(3), kelbv_data},
          {data(2), kelbv_late},
          {data(4), kelbv_data}},
         {1, 1, 0, 0}},
        {"a duplicate is dropped",
         {{format(3), kelbv_format}, {data(7), kelbv_data}, {data(7), kelbv_late}, {data(8), kelbv_data}},
         {0, 1, 0, 0}},
        {"a jump of 8 or more resynchronises on the third packet in a row",
         {{format(3), kelbv_format},
          {data(1), kelbv_data},
          {data(11), kelbv_late},
          {data(12), kelbv_late},
          {data(13), kelbv_data},
          {data(14), kelbv_data}},
         {0, 2, 0, 0}},
        {"data of another index and other channels are not delivered",
         {{format(2), kelbv_format},
          {data(1, 3), kelbv_ignored},
          {data(2, 2, 1), kelbv_ignored},
          {data(3, 2), kelbv_data}},
         {}},
        {"the changed bit makes the same index count again; a new index too",
         {{format(1), kelbv_format},
          {format(1, true), kelbv_format},
          {format(0), kelbv_format},
          {format(0), kelbv_formatKept}},
         {}},
        {"a format of impossible values is damaged and not taken",
         {{format(3, true, 0), kelbv_damaged},
          {format(3, true, 48000, 0), kelbv_damaged},
          {data(1), kelbv_ignored},
          {format(3, true), kelbv_format}},
         {0, 0, 2, 0}},
        {"another sender is ignored while the one followed speaks",
         {{format(3), kelbv_format, kA, 0},
          {format(1, true), kelbv_foreign, kB, 100},
          {data(5, 1), kelbv_foreign, kB, 1500},
          {data(1), kelbv_data, kA, 1900},
          {format(1, true), kelbv_foreign, kB, 3800},
          {format(1, true), kelbv_format, kB, 3900},
          {data(9, 1), kelbv_data, kB, 3901},
          {data(2), kelbv_foreign, kA, 3902}},
         {0, 0, 0, 4}},
        {"short and damaged datagrams",
         {{Bytes{1, 2}, kelbv_ignored}, {Bytes(17, 0), kelbv_damaged}, {format(3), kelbv_format}},
         {0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelmtlBroadcastReception r;
        r.reset();
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            const auto result = r.handle(s.datagram.data(), s.datagram.size(), s.from, 1000000 + s.atMs);
            EXPECT_EQ(verdictName(result.verdict), verdictName(s.verdict)) << "step " << i;
        }
        EXPECT_EQ(r.lost(), c.counts.lost);
        EXPECT_EQ(r.late(), c.counts.late);
        EXPECT_EQ(r.damaged(), c.counts.damaged);
        EXPECT_EQ(r.foreign(), c.counts.foreign);
    }
}

TEST(kelmtlBroadcastReceptionTest, DeliveredDataPointsAtThePayloadAndResetForgetsAll)
{
    kelmtlBroadcastReception r;
    const Bytes f = format(3, true, 96000);
    auto taken = r.handle(f.data(), f.size(), kA, 5);
    ASSERT_EQ(taken.verdict, kelbv_format);
    EXPECT_EQ(taken.packet.format.samplesPerSec, 96000u);
    const Bytes d = data(6);
    const auto result = r.handle(d.data(), d.size(), kA, 6);
    ASSERT_EQ(result.verdict, kelbv_data);
    EXPECT_EQ(result.packet.data.payload, d.data() + 4);
    EXPECT_EQ(result.packet.data.length, 4u);
    EXPECT_EQ(r.received(), 2u);
    r.reset();
    EXPECT_FALSE(r.hasSender());
    EXPECT_EQ(r.formatIndex(), kelmtlBroadcastReception::kNoIndex);
    EXPECT_EQ(r.received(), 0u);
    EXPECT_EQ(r.handle(d.data(), d.size(), kB, 7).verdict, kelbv_ignored);
}
