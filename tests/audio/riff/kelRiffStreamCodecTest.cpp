// kelRiffStream over compressed data through the compression manager's
// built-in drivers: what is missing shows in the status; a mu-law file
// decodes to PCM chunks whose last one is filled with PCM silence (the
// coded bytes themselves are never padded), passively, looping and paced
// by the device thread; a mu-law writer converts what the codec still holds
// before it fixes the sizes.

#include "audio/kelMMTimer.h"
#include "audio/kelMsAcm.h"
#include "audio/kelRIFF.h"
#include "audio/kelWaveFormatRoutines.h"
#include "codecs/kelG711.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "platform/kelWaveApi.h"
#include "tests/support/kelTestAcmCodec.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kMuLaw = 7;

// A format record: the WAVEFORMATEX fields, cbSize and `extra`.
std::string record(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avg, uint16_t block,
                   uint16_t bits, const std::string& extra = {})
{
    return kelTestLE(tag, 2) + kelTestLE(channels, 2) + kelTestLE(rate, 4) + kelTestLE(avg, 4) +
           kelTestLE(block, 2) + kelTestLE(bits, 2) + kelTestLE(extra.size(), 2) + extra;
}

// `samples` 16-bit samples coded as mu-law bytes.
std::string muLaw(const std::string& pcm)
{
    std::string coded(pcm.size() / 2, '\0');
    ulawCompress(coded.size(), reinterpret_cast<const int16_t*>(pcm.data()),
                 reinterpret_cast<uint8_t*>(coded.data()));
    return coded;
}

std::string expandMuLaw(const std::string& coded)
{
    std::string pcm(coded.size() * 2, '\0');
    ulawExpand(coded.size(), reinterpret_cast<const uint8_t*>(coded.data()),
               reinterpret_cast<int16_t*>(pcm.data()));
    return pcm;
}

// 8000 Hz mono mu-law: 160 coded bytes and 320 PCM bytes a chunk.
const std::string kMuLawRecord = record(kMuLaw, 1, 8000, 8000, 1, 8);
const std::string kMuLawFmt = kelTestChunk("fmt ", kMuLawRecord);

class RiffCodec : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(acm.enumDrivers(), 0u); }

    std::string save(const std::string& image)
    {
        const std::string name = dir.file("f" + std::to_string(++files) + ".wav");
        kelWriteBytes(name, image);
        return name;
    }
    kelOwned<kelRiffStream> reader(const std::string& image, bool realTime, bool loop, kelMsAcm* with)
    {
        return kelOwned<kelRiffStream>(kelRiffStream::create(utf8ToUtf16(save(image)), realTime, loop, with));
    }

    kelTempDir dir;
    int files = 0;
    kelMsAcm acm;
};

} // namespace

TEST_F(RiffCodec, WhatACompressedFileLacksShowsInTheStatus)
{
    const std::string data = kelTestChunk("data", kelTestRamp(600));
    struct Case
    {
        const char* what;
        std::string fmt;
        bool withAcm;
        intptr_t status;
    } cases[] = {
        {"IMA ADPCM without a registry", record(0x11, 1, 8000, 4055, 256, 4, "\xF9\x01"), false,
         kelRiffNoAcm},
        {"IMA block too small for its header", record(0x11, 1, 8000, 4055, 1, 4, "\xF9\x01"), true,
         kelRiffNoPcmFormat},
        {"mu-law", kMuLawRecord, true, kelRiffReading},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto stream =
            reader(kelTestWave(kelTestChunk("fmt ", c.fmt) + data), false, false, c.withAcm ? &acm : nullptr);
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->status(), c.status);
        EXPECT_EQ(stream->codec() != nullptr, c.status == kelRiffReading);
        EXPECT_EQ(stream->passiveOpen(), c.status == kelRiffReading ? 0u : MMSYSERR_INVALPARAM);
    }

    WAVEFORMATEX pcm8k{}, pcm44k{};
    fillPCMFormat(&pcm8k, 8000, 16, 1);
    fillPCMFormat(&pcm44k, 44100, 16, 2);
    struct WriteCase
    {
        const char* what;
        const WAVEFORMATEX* source;
        uintptr_t tag;
        bool withAcm;
        intptr_t status;
    } writes[] = {
        {"MS ADPCM: no driver", &pcm8k, 2, true, kelRiffWriteNoAcm},
        {"IMA ADPCM without a registry", &pcm8k, 0x11, false, kelRiffWriteNoAcm},
        {"a tag past 16 bits", &pcm8k, 0x10007, true, kelRiffWriteNoAcm},
        {"GSM from 44.1 kHz stereo", &pcm44k, 0x31, true, kelRiffWriteCannotConvert},
        {"GSM from 8 kHz mono", &pcm8k, 0x31, true, kelRiffWriting},
    };
    for (const WriteCase& c : writes) {
        SCOPED_TRACE(c.what);
        kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(dir.file("w.wav")), c.source,
                                                                c.tag, c.withAcm ? &acm : nullptr));
        ASSERT_TRUE(writer);
        EXPECT_EQ(writer->status(), c.status);
        EXPECT_EQ(writer->codec() != nullptr, c.status == kelRiffWriting);
        if (c.status == kelRiffWriting) {
            ASSERT_NE(writer->dstFormatBlock().format(), nullptr);
            EXPECT_EQ(writer->dstFormatBlock().format()->wFormatTag, c.tag);
        }
    }
}

TEST_F(RiffCodec, OnlyTheFileBytesAreDecodedAndTheLastChunkIsPcmSilence)
{
    // 400 samples: two and a half PCM chunks. Padding the coded tail with
    // the PCM silence byte 0x80 would decode to +32124, a full-scale click.
    const std::string coded = muLaw(kelTestPcmRamp(400, 61));
    const std::string decoded = expandMuLaw(coded);
    const std::string image = kelTestWave(kMuLawFmt + kelTestChunk("data", coded));

    auto once = reader(image, false, false, &acm);
    ASSERT_EQ(once->status(), kelRiffReading);
    ASSERT_EQ(once->passiveOpen(), 0u);
    std::string all, chunk(400, '?');
    for (uintptr_t n; (n = once->readData(chunk.data(), chunk.size())) != 0;) {
        ASSERT_EQ(n, 320u);
        all += chunk.substr(0, n);
    }
    EXPECT_EQ(all, decoded + std::string(3 * 320 - decoded.size(), '\0'));
    EXPECT_TRUE(once->readingIsDone());
    EXPECT_EQ(once->readData(chunk.data(), chunk.size()), 0u);

    // Looping runs the coded bytes on into the next pass: no silence at
    // the seam.
    auto looping = reader(image, false, true, &acm);
    ASSERT_EQ(looping->passiveOpen(), 0u);
    all.clear();
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(looping->readData(chunk.data(), chunk.size()), 320u) << "chunk " << i;
        all += chunk.substr(0, 320);
    }
    EXPECT_EQ(all, (decoded + decoded + decoded + decoded).substr(0, 8 * 320));
    EXPECT_FALSE(looping->readingIsDone());
}

TEST_F(RiffCodec, TheDeviceThreadDeliversOneDecodedChunkPerTick)
{
    const std::string coded = muLaw(kelTestPcmRamp(400, 61));
    auto stream = reader(kelTestWave(kMuLawFmt + kelTestChunk("data", coded)), true, false, &acm);
    ASSERT_EQ(stream->status(), kelRiffReading);
    kelManualClock clock;
    stream->setClock(clock);
    std::mutex mutex;
    std::vector<std::string> chunks;
    std::atomic<int> done{0};
    stream->setOnDataAvailable([&](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
        std::lock_guard<std::mutex> guard(mutex);
        chunks.emplace_back(static_cast<const char*>(data), size);
    });
    stream->setOnStreamIsDone([&](kelRiffStream*) { ++done; });
    auto count = [&] {
        std::lock_guard<std::mutex> guard(mutex);
        return chunks.size();
    };
    ASSERT_EQ(stream->open(), 0u);
    clock.advanceMs(40); // two ticks of 20 ms
    ASSERT_TRUE(kelTestWaitUntil([&] { return count() >= 2 && stream->realTimerCount() == 0; }));
    EXPECT_EQ(count(), 2u);
    EXPECT_FALSE(stream->streamIsDone());
    clock.advanceMs(200);
    ASSERT_TRUE(kelTestWaitUntil([&] { return done.load() > 0; }));
    EXPECT_EQ(stream->close(), 0u);
    std::string all;
    for (const std::string& c : chunks) {
        EXPECT_EQ(c.size(), 320u);
        all += c;
    }
    const std::string decoded = expandMuLaw(coded);
    EXPECT_EQ(all, decoded + std::string(3 * 320 - decoded.size(), '\0'));
    EXPECT_TRUE(stream->streamIsDone());
}

TEST_F(RiffCodec, TheWriterConvertsWhatTheCodecHoldsBeforeFixingTheSizes)
{
    WAVEFORMATEX source{};
    fillPCMFormat(&source, 8000, 16, 1);
    const std::string name = dir.file("mulaw.wav");
    // 1001 samples in odd pieces: the last 41 samples stay in the codec
    // (less than its 160-sample chunk) until close.
    const std::string pcm = kelTestPcmRamp(1001, 53);
    {
        kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(name), &source, kMuLaw, &acm));
        ASSERT_EQ(writer->status(), kelRiffWriting);
        ASSERT_EQ(writer->open(), 0u);
        EXPECT_EQ(writer->chunkSize(), 320u);
        for (size_t at = 0; at < pcm.size(); at += 333)
            EXPECT_EQ(writer->write(pcm.data() + at, std::min<size_t>(333, pcm.size() - at)),
                      std::min<size_t>(333, pcm.size() - at));
        EXPECT_EQ(writer->close(), 0u);
    }
    const std::string file = kelReadBytes(name);
    const auto fmt = kelTestFindChunk(file, "fmt ");
    const auto data = kelTestFindChunk(file, "data");
    ASSERT_TRUE(fmt && data);
    EXPECT_EQ(*fmt, kMuLawRecord);
    EXPECT_EQ(kelTestReadLE32(file, 4), file.size() - 8);
    EXPECT_EQ(*data, muLaw(pcm));
    // The odd data chunk has its pad byte.
    EXPECT_EQ(file.size() % 2, 0u);
}
