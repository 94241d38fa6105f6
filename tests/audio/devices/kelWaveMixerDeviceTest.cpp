// kelWaveMixerDevice: the mixed chunk against a plain reference loop on
// random formats and short reads, the shortfall and level per stream, and
// the device thread's pace (real time on a manual clock; otherwise waiting
// for input instead of spinning out silence), with streams added and
// removed while it mixes.

#include "audio/kelWaveMixerDevice.h"
#include "audio/kelPCM.h"
#include "core/kelAbstractStream.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelTick.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

class Chunks
{
public:
    void attach(kelMsAcmStreamDevice& device)
    {
        device.setOnDataAvailable([this](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
            std::lock_guard<std::mutex> guard(f_mutex);
            f_chunks.emplace_back(static_cast<const char*>(data), size);
        });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_chunks.size();
    }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_chunks;
    }

private:
    std::mutex f_mutex;
    std::vector<std::string> f_chunks;
};

kelOwned<kelWaveMixerDevice> mixer(bool realTime, bool autoAddSilence, uint32_t rate, uint16_t bits,
                                   uint16_t channels)
{
    kelOwned<kelWaveMixerDevice> device(
        kelCreate<kelWaveMixerDevice>(realTime, autoAddSilence, uintptr_t(10)));
    if (device && !device->setSampling(rate, bits, channels)) device.reset();
    return device;
}

// One sample at `at` as a signed value (8-bit unsigned around 0x80).
int64_t sampleAt(const std::string& bytes, size_t at, unsigned bits)
{
    const size_t width = bits / 8;
    uint64_t raw = 0;
    for (size_t b = 0; b < width; ++b)
        raw |= uint64_t(uint8_t(bytes[at * width + b])) << (8 * b);
    if (bits == 8) return int64_t(raw) - 128;
    const uint64_t sign = uint64_t(1) << (bits - 1);
    return int64_t(raw ^ sign) - int64_t(sign);
}

void storeSample(std::string& bytes, size_t at, unsigned bits, int64_t value)
{
    const int64_t top = (int64_t(1) << (bits - 1)) - 1;
    value = std::clamp(value, -top - 1, top);
    uint64_t raw = bits == 8 ? uint64_t(value + 128) : uint64_t(value);
    for (size_t b = 0; b < bits / 8; ++b)
        bytes[at * (bits / 8) + b] = char((raw >> (8 * b)) & 0xFF);
}

// What a plain loop makes of what each stream holds (its whole sample
// frames up to a chunk): the streams added one after the other into the
// first, each sum clipped to the sample size; positions a stream did not
// reach are left as they are, silence where none did.
std::string referenceMix(const std::vector<std::string>& streams, size_t chunk, unsigned bits, size_t frame)
{
    const size_t width = bits / 8;
    const int64_t top = (int64_t(1) << (bits - 1)) - 1;
    std::vector<int64_t> sum(chunk / width, 0);
    for (const auto& s : streams) {
        const size_t bytes = std::min(s.size(), chunk) / frame * frame;
        for (size_t i = 0; i < bytes / width; ++i)
            sum[i] = std::clamp(sum[i] + sampleAt(s, i, bits), -top - 1, top);
    }
    std::string out(chunk, '\0');
    for (size_t i = 0; i < sum.size(); ++i)
        storeSample(out, i, bits, sum[i]);
    return out;
}

} // namespace

TEST(kelWaveMixerDeviceTest, MixMatchesAPlainLoopOnRandomFormatsAndShortReads)
{
    std::mt19937 random(44);
    const uint16_t bitsChoices[] = {8, 16, 24, 32};
    for (int round = 0; round < 40; ++round) {
        const uint16_t bits = bitsChoices[random() % 4];
        const uint16_t channels = uint16_t(1 + random() % 3);
        const uint32_t rate = 8000 * (1 + random() % 6);
        const bool addSilence = random() % 2 == 0;
        SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(channels) + " channels, " +
                     std::to_string(rate) + (addSilence ? " Hz, padded" : " Hz"));
        auto device = mixer(false, addSilence, rate, bits, channels);
        ASSERT_TRUE(device);
        Chunks out;
        out.attach(*device);
        const size_t chunk = device->chunkSize();
        const size_t frame = size_t(bits / 8) * channels;
        const size_t streams = 1 + random() % 4;
        std::vector<std::string> reads;
        uintptr_t written = 0;
        for (size_t k = 0; k < streams; ++k) {
            kelAbstractStream* s = device->addStream();
            ASSERT_NE(s, nullptr);
            // Full chunks, short ones (also within a frame), none; loud
            // enough that sums clip.
            const size_t kind = random() % 4;
            size_t size = kind == 0   ? 0
                          : kind == 1 ? chunk
                                      : (random() % (chunk / frame)) * frame + random() % frame;
            std::string data(size, '\0');
            for (auto& c : data)
                c = char(random());
            if (size > 0) {
                ASSERT_EQ(s->write(data.data(), intptr_t(size)), intptr_t(size));
            }
            reads.push_back(data);
            written += size / frame * frame;
        }
        EXPECT_EQ(device->mix(), written);
        ASSERT_EQ(out.count(), 1u);
        EXPECT_TRUE(out.all()[0] == referenceMix(reads, chunk, bits, frame));
        // Each stream's level is that of the frames it gave (padded with
        // silence to a chunk when asked), as the sample routines measure it.
        for (size_t k = 0; k < streams; ++k) {
            std::string measured = reads[k].substr(0, std::min(reads[k].size(), chunk) / frame * frame);
            if (addSilence && !measured.empty()) measured.resize(chunk, char(bits == 8 ? 0x80 : 0));
            const size_t frames = measured.size() / frame;
            const auto level = frames == 0 ? 0
                                           : uintptr_t(logVolume100(channelVolume(measured.data(), frames,
                                                                                  bits, channels, 0, false)));
            EXPECT_EQ(device->getSVolume(k), level) << k;
        }
    }
}

TEST(kelWaveMixerDeviceTest, ClipsAndMeasuresEachStream)
{
    const struct
    {
        uint16_t bits;
        std::string a, b, sum;
    } cases[] = {
        {16, std::string("\x30\x75", 2), std::string("\x10\x27", 2),
         std::string("\xFF\x7F", 2)}, // 30000 + 10000
        {8, "\xF0", "\xF0", "\xFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        auto device = mixer(false, false, 8000, c.bits, 1);
        ASSERT_TRUE(device);
        Chunks out;
        out.attach(*device);
        const size_t samples = device->chunkSize() / (c.bits / 8);
        std::string a, b;
        for (size_t i = 0; i < samples; ++i) {
            a += c.a;
            b += c.b;
        }
        device->addStream()->write(a.data(), intptr_t(a.size()));
        device->addStream()->write(b.data(), intptr_t(b.size()));
        device->addStream(); // empty
        device->mix();
        ASSERT_EQ(out.count(), 1u);
        EXPECT_EQ(out.all()[0].substr(0, c.sum.size()), c.sum);
        EXPECT_GT(device->getSVolume(0), 0u);
        EXPECT_EQ(device->getSVolume(2), 0u);
    }
    // Full scale reads 100; a mixer with nothing still delivers silence.
    auto device = mixer(false, false, 8000, 16, 1);
    Chunks out;
    out.attach(*device);
    std::string full;
    while (full.size() < device->chunkSize())
        full += std::string("\xFF\x7F", 2);
    device->addStream();
    kelAbstractStream* loud = device->addStream();
    loud->write(full.data(), intptr_t(full.size()));
    EXPECT_EQ(device->mix(), full.size());
    EXPECT_EQ(device->getSVolume(0), 0u);
    EXPECT_EQ(device->getSVolume(1), 100u);
    EXPECT_EQ(device->mix(), 0u);
    ASSERT_EQ(out.count(), 2u);
    EXPECT_EQ(out.all()[1], std::string(device->chunkSize(), '\0'));
}

TEST(kelWaveMixerDeviceTest, ShortfallIsKeptAndDecays)
{
    auto device = mixer(false, true, 8000, 16, 1);
    ASSERT_TRUE(device);
    const size_t chunk = device->chunkSize();
    kelAbstractStream* s = device->addStream();
    const std::string data(chunk, '\x11');
    s->write(data.data(), intptr_t(chunk / 2));
    device->mix();
    EXPECT_EQ(device->getOOB(0), int64_t(chunk / 2));
    s->write(data.data(), intptr_t(chunk - 200));
    device->mix();
    EXPECT_EQ(device->getOOB(0), 200);
    for (int i = 0; i < 3; ++i)
        s->write(data.data(), intptr_t(chunk));
    for (int i = 0; i < 3; ++i)
        device->mix();
    EXPECT_EQ(device->getOOB(0), 194);
    EXPECT_EQ(device->getOOB(300), 0);
    // Opening starts over.
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    EXPECT_EQ(device->getOOB(0), 0);
    EXPECT_EQ(device->close(), 0u);
}

TEST(kelWaveMixerDeviceTest, RealTimeMixesOneChunkPerTickOfTheClock)
{
    kelManualClock clock;
    auto device = mixer(true, true, 8000, 16, 1);
    ASSERT_TRUE(device);
    device->setClock(clock);
    Chunks out;
    out.attach(*device);
    kelAbstractStream* s = device->addStream();
    const std::string data(device->chunkSize() * 2, '\x22');
    s->write(data.data(), intptr_t(data.size()));
    ASSERT_EQ(device->open(), 0u);
    clock.advanceMs(100);
    ASSERT_TRUE(kelTestWaitUntil([&] { return out.count() >= 5 && device->realTimerCount() == 0; }));
    EXPECT_EQ(out.count(), 5u);
    const auto chunks = out.all();
    EXPECT_EQ(chunks[0], data.substr(0, device->chunkSize()));
    EXPECT_EQ(chunks[4], std::string(device->chunkSize(), '\0'));
    EXPECT_EQ(device->close(), 0u);
}

TEST(kelWaveMixerDeviceTest, WithoutRealTimeItWaitsForInputAndSurvivesStreamRemoval)
{
    auto device = mixer(false, true, 8000, 16, 1);
    ASSERT_TRUE(device);
    Chunks out;
    out.attach(*device);
    kelAbstractStream* s = device->addStream();
    const uint64_t start = tickNow();
    ASSERT_EQ(device->open(), 0u);
    // With nothing to mix, at most one chunk of silence per chunk time.
    ASSERT_TRUE(kelTestWaitUntil([&] { return out.count() >= 3; }));
    const uint64_t elapsed = tickNow() - start;
    EXPECT_LE(out.count(), elapsed / 20 + 3);
    // A write is mixed at once, long before the silence would be due.
    const std::string data(device->chunkSize(), '\x33');
    s->write(data.data(), intptr_t(data.size()));
    ASSERT_TRUE(kelTestWaitUntil([&] {
        const auto all = out.all();
        return std::find(all.begin(), all.end(), data) != all.end();
    }));
    // Streams come and go while the device thread mixes them.
    for (int i = 0; i < 200; ++i) {
        kelAbstractStream* extra = device->addStream();
        ASSERT_NE(extra, nullptr);
        extra->write(data.data(), intptr_t(data.size()));
        if (i % 3 == 0) std::this_thread::yield();
        ASSERT_TRUE(device->removeStream(extra));
    }
    EXPECT_FALSE(device->removeStream(nullptr));
    EXPECT_EQ(device->getStreamCount(), 1);
    EXPECT_EQ(device->getStream(0), s);
    EXPECT_EQ(device->getStream(1), nullptr);
    EXPECT_EQ(device->close(), 0u);
}
