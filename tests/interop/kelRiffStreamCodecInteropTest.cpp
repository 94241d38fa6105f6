// kelRiffStream over compressed WAV files, against sox, ffmpeg and mpg123:
// files the tools write (IMA ADPCM, GSM 6.10, mu-law, A-law, MPEG layer 3)
// read through the stream, passively and by its device thread, give the
// samples the tools decode, followed only by silence (no click at the end);
// what a compressed file lacks shows in the status; files the stream
// writes in those formats are decoded by the tools at their full length.
// Skipped with a message when a tool is missing.

#include "audio/kelMsAcm.h"
#include "audio/kelRIFF.h"
#include "audio/kelWaveFormatRoutines.h"
#include "codecs/kelAcmDrivers.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRiff.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

std::string fill(std::string command, const std::string& in, const std::string& out)
{
    for (auto [key, value] : {std::pair<std::string, std::string>{"%in", in}, {"%out", out}})
        for (size_t at; (at = command.find(key)) != std::string::npos;)
            command.replace(at, key.size(), "'" + value + "'");
    return command;
}

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<int16_t> samplesOf(const std::string& bytes)
{
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(uint16_t(uint8_t(bytes[2 * i])) | uint16_t(uint8_t(bytes[2 * i + 1])) << 8);
    return out;
}

double rmsOf(const std::string& bytes)
{
    double sum = 0;
    const auto samples = samplesOf(bytes);
    for (int16_t s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
}

// What a reader delivered, in order, and its chunk size.
struct Read
{
    intptr_t status = -100;
    uintptr_t chunk = 0;
    std::string pcm;
};

Read readPassively(kelMsAcm* acm, const std::string& name)
{
    Read r;
    kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(name), false, false, acm));
    r.status = stream->status();
    if (r.status != kelRiffReading || stream->passiveOpen() != 0) return r;
    r.chunk = stream->dstChunkSize();
    std::string chunk(r.chunk, '\0');
    for (uintptr_t n; (n = stream->readData(chunk.data(), chunk.size())) != 0;)
        r.pcm.append(chunk, 0, n);
    return r;
}

Read readByThread(kelMsAcm* acm, const std::string& name)
{
    Read r;
    kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(name), false, false, acm));
    r.status = stream->status();
    if (r.status != kelRiffReading) return r;
    std::mutex mutex;
    std::atomic<bool> done{false};
    stream->setOnDataAvailable([&](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
        std::lock_guard<std::mutex> guard(mutex);
        r.pcm.append(static_cast<const char*>(data), size);
    });
    stream->setOnStreamIsDone([&](kelRiffStream*) { done.store(true); });
    if (stream->open() != 0) return r;
    r.chunk = stream->dstChunkSize();
    EXPECT_TRUE(kelTestWaitUntil([&] { return done.load(); }, 60000)) << "the stream did not end";
    stream->close();
    std::lock_guard<std::mutex> guard(mutex);
    return r;
}

// `ours` is `reference`, then PCM silence up to the end of the last chunk
// (no click: nothing of the coded data was padded before decoding).
void expectReferenceThenSilence(const std::string& ours, const std::string& reference, uintptr_t chunk)
{
    ASSERT_FALSE(reference.empty());
    ASSERT_GE(ours.size(), reference.size());
    EXPECT_EQ(ours.size() % chunk, 0u);
    EXPECT_LT(ours.size() - reference.size(), chunk);
    EXPECT_TRUE(ours.compare(0, reference.size(), reference) == 0) << "samples differ";
    EXPECT_EQ(ours.find_first_not_of('\0', reference.size()), std::string::npos)
        << "more than silence after the samples";
}

class RiffCodecInterop : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(acm.enumDrivers(), 0u); }
    kelTempDir dir;
    kelMsAcm acm;
};

} // namespace

TEST_F(RiffCodecInterop, CompressedFilesTheToolsWriteReadAsTheToolsDecodeThem)
{
    if (!kelTestHaveSox() || !kelTestHaveFfmpeg()) GTEST_SKIP() << "sox or ffmpeg is not installed";
    struct Case
    {
        const char* name;
        unsigned rate, channels;
        const char* command; // %in: 16-bit PCM, %out: the coded file
        bool layer3;         // decoded by mpg123 from the data chunk's frames
    } cases[] = {
        {"sox IMA ADPCM mono", 8000, 1, "sox %in -e ima-adpcm %out", false},
        {"sox IMA ADPCM stereo", 22050, 2, "sox %in -e ima-adpcm %out", false},
        {"ffmpeg IMA ADPCM", 44100, 2, "ffmpeg -nostdin -loglevel error -y -i %in -c:a adpcm_ima_wav %out",
         false},
        {"sox GSM 6.10", 8000, 1, "sox %in -e gsm-full-rate %out", false},
        {"sox mu-law", 8000, 1, "sox %in -e mu-law %out", false},
        {"sox A-law stereo", 16000, 2, "sox %in -e a-law %out", false},
        {"ffmpeg layer 3 stereo", 44100, 2,
         "ffmpeg -nostdin -loglevel error -y -i %in -c:a libmp3lame -f wav %out", true},
        {"ffmpeg layer 3 mono", 22050, 1,
         "ffmpeg -nostdin -loglevel error -y -i %in -c:a libmp3lame -f wav %out", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.layer3 && (!kelTestProcess::available("mpg123") || !kelAcmMp3CanDecode())) {
            std::cout << "[ SKIPPED  ] " << c.name << ": mpg123 or libmpg123.so.0 is missing\n";
            continue;
        }
        const std::string in = dir.file("in.wav"), coded = dir.file("coded.wav");
        // An odd length, so the data ends inside a chunk.
        ASSERT_TRUE(kelTestSoxWave(in, c.rate, 16, c.channels, "signed-integer", 1.3013));
        ASSERT_TRUE(run(fill(c.command, in, coded)));
        std::optional<std::string> reference;
        if (c.layer3) {
            const auto data = kelTestFindChunk(kelReadBytes(coded), "data");
            ASSERT_TRUE(data);
            kelWriteBytes(dir.file("frames.mp3"), *data);
            reference =
                kelTestProcess::filter("mpg123 -q --no-gapless -s '" + dir.file("frames.mp3") + "'", "");
        } else {
            reference = kelTestProcess::filter("sox '" + coded + "' -t raw -e signed -b 16 -", "");
        }
        ASSERT_TRUE(reference && !reference->empty());
        for (bool thread : {false, true}) {
            SCOPED_TRACE(thread ? "device thread" : "passive");
            const Read r = thread ? readByThread(&acm, coded) : readPassively(&acm, coded);
            ASSERT_EQ(r.status, kelRiffReading);
            ASSERT_NE(r.chunk, 0u);
            expectReferenceThenSilence(r.pcm, *reference, r.chunk);
        }
    }
}

TEST_F(RiffCodecInterop, WhatACompressedFileLacksShowsInTheStatus)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    const std::string in = dir.file("in.wav"), ima = dir.file("ima.wav"), ms = dir.file("ms.wav"),
                      broken = dir.file("broken.wav");
    ASSERT_TRUE(kelTestSoxWave(in, 8000, 16, 1, "signed-integer", 0.5));
    ASSERT_TRUE(run(fill("sox %in -e ima-adpcm %out", in, ima)));
    ASSERT_TRUE(run(fill("sox %in -e ms-adpcm %out", in, ms)));
    // The IMA record with a block too short for its own header.
    std::string image = kelReadBytes(ima);
    ASSERT_EQ(image.compare(12, 4, "fmt "), 0);
    image[20 + 12] = 2;
    image[20 + 13] = 0;
    kelWriteBytes(broken, image);
    struct Case
    {
        const char* what;
        std::string file;
        bool withAcm;
        intptr_t status;
    } cases[] = {
        {"IMA ADPCM without a registry", ima, false, kelRiffNoAcm},
        {"MS ADPCM: no driver", ms, true, kelRiffNoDriver},
        {"broken IMA record", broken, true, kelRiffNoPcmFormat},
        {"IMA ADPCM", ima, true, kelRiffReading},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kelOwned<kelRiffStream> stream(
            kelRiffStream::create(utf8ToUtf16(c.file), false, false, c.withAcm ? &acm : nullptr));
        EXPECT_EQ(stream->status(), c.status);
        EXPECT_EQ(stream->passiveOpen(), c.status == kelRiffReading ? 0u : 11u);
    }
}

TEST_F(RiffCodecInterop, CompressedFilesWeWriteAreDecodedByTheToolsAtFullLength)
{
    if (!kelTestHaveSox() || !kelTestHaveFfmpeg()) GTEST_SKIP() << "sox or ffmpeg is not installed";
    struct Case
    {
        const char* name;
        uint16_t tag;
        unsigned rate, channels;
        size_t block;  // PCM bytes a coded block holds: the most a decoder may add
        double minSnr; // dB against the input, 0: only the level is compared
    } cases[] = {
        {"IMA ADPCM mono", 0x11, 8000, 1, 2 * 505, 12},
        {"IMA ADPCM stereo", 0x11, 22050, 2, 4 * 1017, 12},
        {"GSM 6.10", 0x31, 8000, 1, 2 * 320, 0},
        {"A-law stereo", 6, 16000, 2, 0, 30},
        {"mu-law", 7, 8000, 1, 0, 30},
        {"layer 3", 0x55, 44100, 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.tag == 0x55 && !kelAcmMp3CanEncode()) {
            std::cout << "[ SKIPPED  ] " << c.name << ": libmp3lame.so.0 does not load\n";
            continue;
        }
        const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
        ASSERT_TRUE(kelTestSoxWave(in, c.rate, 16, c.channels, "signed-integer", 1.3013));
        const auto pcm = kelTestFindChunk(kelReadBytes(in), "data");
        ASSERT_TRUE(pcm);
        WAVEFORMATEX source{};
        fillPCMFormat(&source, c.rate, 16, uint16_t(c.channels));
        {
            kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(out), &source, c.tag, &acm));
            ASSERT_EQ(writer->status(), kelRiffWriting);
            ASSERT_EQ(writer->open(), 0u);
            // Pieces that split samples and chunks alike.
            for (size_t at = 0; at < pcm->size(); at += 999) {
                const size_t n = std::min<size_t>(999, pcm->size() - at);
                ASSERT_EQ(writer->write(pcm->data() + at, n), n);
            }
            EXPECT_EQ(writer->close(), 0u);
        }
        const std::string file = kelReadBytes(out);
        EXPECT_EQ(kelTestReadLE32(file, 4), file.size() - 8);
        std::optional<std::string> decoded;
        if (c.tag == 0x55) {
            const auto codec = kelTestProcess::filter(
                "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + out + "'", "");
            EXPECT_EQ(codec.value_or(""), "mp3\n");
            decoded =
                kelTestProcess::filter("ffmpeg -nostdin -loglevel error -i '" + out + "' -f s16le -", "");
        } else {
            EXPECT_EQ(kelTestSoxInfo(out, 'r'), std::to_string(c.rate));
            EXPECT_EQ(kelTestSoxInfo(out, 'c'), std::to_string(c.channels));
            decoded = kelTestProcess::filter("sox '" + out + "' -t raw -e signed -b 16 -", "");
        }
        ASSERT_TRUE(decoded);
        // Every sample written is there: the codec's last partial chunk
        // was converted before the file was closed.
        EXPECT_GE(decoded->size(), pcm->size());
        if (c.tag != 0x55) {
            EXPECT_LE(decoded->size(), pcm->size() + c.block);
        }
        const double level = rmsOf(*decoded) / rmsOf(*pcm);
        EXPECT_GT(level, 0.7);
        EXPECT_LT(level, 1.4);
        if (c.minSnr > 0) {
            const auto a = samplesOf(*pcm), b = samplesOf(*decoded);
            double signal = 0, noise = 0;
            for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
                signal += double(a[i]) * a[i];
                noise += double(a[i] - b[i]) * (a[i] - b[i]);
            }
            EXPECT_GT(10 * std::log10(signal / std::max(noise, 1.0)), c.minSnr);
        }
    }
}
