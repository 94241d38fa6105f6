#include "codecs/kelMpegAudio_layer123.h"
#include "core/kelUtf.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMpeg.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// MPEG-1 Layer III, 128 kbit/s, 44 100 Hz: 417 bytes, 418 padded.
kelTestMpegFrame mp3Frame(int padding = 0)
{
    kelTestMpegFrame f;
    f.padding = padding;
    f.length = 417 + padding;
    return f;
}

std::string framesOf(const kelTestMpegFrame& f, const std::vector<int>& paddings, int step = 1)
{
    std::string out;
    for (int padding : paddings) {
        kelTestMpegFrame g = f;
        g.padding = padding;
        g.length = f.length + padding * step;
        out += kelTestMpegFrameBytes(g);
    }
    return out;
}

std::vector<kelTestMpegFound> framesOfFile(const std::string& data)
{
    kelTempDir dir;
    kelWriteBytes(dir.file("a.mp3"), data);
    kelBitReader_file reader(utf8ToUtf16(dir.file("a.mp3")));
    kelMpegAudio_layer123 finder(&reader);
    return kelTestMpegFrames(finder);
}

std::vector<intptr_t> offsetsOf(const std::vector<kelTestMpegFound>& found)
{
    std::vector<intptr_t> out;
    for (const auto& f : found)
        if (f.result == kelMpegFrameFound) out.push_back(f.foundAt);
    return out;
}

} // namespace

// Garbage, an ID3v2.3 tag, then frames: the first frame reports everything
// skipped in front of it, and the stream's values come from it.
TEST(kelMpegAudioTest, FramesBehindGarbageAndTagReportTheSkippedBytes)
{
    for (int mode : {0, 3}) {
        SCOPED_TRACE(mode);
        kelTestMpegFrame f = mp3Frame();
        f.mode = mode;
        const std::string tag = kelTestId3v2Tag(3, 0, 300);
        const std::string frames = framesOf(f, {0, 1, 0, 1, 1});
        const std::string data = std::string("0123456789") + tag + frames;
        kelBitReader_stream reader;
        reader.write(data.data(), intptr_t(data.size()));
        kelMpegAudio_layer123 finder(&reader);
        const auto found = kelTestMpegFrames(finder);
        ASSERT_EQ(found.size(), 6u);
        EXPECT_EQ(found[0].skip, 10 + 10 + 300);
        EXPECT_EQ(found[0].foundAt, 320);
        EXPECT_EQ(found[0].bytes, frames.substr(0, 417));
        const intptr_t sizes[] = {417, 418, 417, 418, 418};
        intptr_t at = 320;
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(found[i].size, sizes[i]) << i;
            EXPECT_EQ(found[i].foundAt, at) << i;
            EXPECT_EQ(found[i].bytes, data.substr(size_t(at), size_t(sizes[i]))) << i;
            if (i > 0) {
                EXPECT_EQ(found[i].skip, 0) << i;
            }
            at += sizes[i];
        }
        EXPECT_EQ(found[5].result, kelMpegNoFrame);
        EXPECT_EQ(finder.mpegSamplesPerFrame(), 1152);
        EXPECT_EQ(finder.mpegSamplingRate(), 44100);
        EXPECT_EQ(finder.mpegChannels(), mode == 3 ? 1 : 2);
        EXPECT_EQ(finder.mpegLayer(), 3);
        EXPECT_EQ(finder.mpegID(), 1);
    }
}

// Every version and layer, from a file searched to its last frame: frame
// lengths, samples per frame, rate, CRC word.
TEST(kelMpegAudioTest, EveryKindOfFrameHasItsLengthAndValues)
{
    struct Case
    {
        const char* name;
        kelTestMpegFrame frame;
        int paddedLength;
        intptr_t samples;
        intptr_t rate;
        intptr_t layer;
        intptr_t id;
    };
    auto frame = [](int version, int layer, int bitrate, int sampling, int length, bool crc = false) {
        kelTestMpegFrame f;
        f.version = version;
        f.layer = layer;
        f.bitrateIndex = bitrate;
        f.samplingIndex = sampling;
        f.length = length;
        f.crc = crc;
        return f;
    };
    const Case cases[] = {
        {"MPEG-1 III 128k 44.1k", frame(1, 3, 9, 0, 417), 418, 1152, 44100, 3, 1},
        {"MPEG-2 III 64k 24k", frame(2, 3, 8, 1, 192), 193, 576, 24000, 3, 2},
        {"MPEG-2 II 64k 24k", frame(2, 2, 8, 1, 384), 385, 1152, 24000, 2, 2},
        {"MPEG-1 I 32k 44.1k", frame(1, 1, 1, 0, 32), 36, 384, 44100, 1, 1},
        {"MPEG-2.5 III 16k 8k", frame(3, 3, 2, 2, 144), 145, 576, 8000, 3, 3},
        {"MPEG-1 II 192k 48k CRC", frame(1, 2, 10, 1, 576, true), 577, 1152, 48000, 2, 1},
        {"MPEG-2.5 II 160k 8k", frame(3, 2, 14, 2, 2880), 2881, 1152, 8000, 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string data = framesOf(c.frame, {0, 1, 0}, c.paddedLength - c.frame.length);
        kelMpegAudio_layer123 finder(nullptr);
        kelTempDir dir;
        kelWriteBytes(dir.file("a.mp3"), data);
        kelBitReader_file reader(utf8ToUtf16(dir.file("a.mp3")));
        finder.setReader(&reader);
        const auto found = kelTestMpegFrames(finder);
        ASSERT_EQ(found.size(), 4u);
        EXPECT_EQ(found[0].size, c.frame.length);
        EXPECT_EQ(found[1].size, c.paddedLength);
        EXPECT_EQ(found[2].size, c.frame.length);
        EXPECT_EQ(found[2].foundAt, c.frame.length + c.paddedLength);
        EXPECT_EQ(found[2].bytes, data.substr(size_t(found[2].foundAt)));
        EXPECT_EQ(found[3].result, kelMpegNoFrame);
        EXPECT_EQ(found[0].header.crc, c.frame.crc ? 0xBEEF : 0);
        EXPECT_EQ(finder.mpegSamplesPerFrame(), c.samples);
        EXPECT_EQ(finder.mpegSamplingRate(), c.rate);
        EXPECT_EQ(finder.mpegLayer(), c.layer);
        EXPECT_EQ(finder.mpegID(), c.id);
    }
}

// Free format: a frame runs to the next free-format header; the length
// learnt from the first frame holds for the rest, padding included, and
// for the last frame of the file.
TEST(kelMpegAudioTest, FreeFormatFramesRunToTheNextHeader)
{
    kelTestMpegFrame f = mp3Frame();
    f.bitrateIndex = 0;
    f.length = 300;
    const std::string data = framesOf(f, {0, 1, 1, 0, 1});
    const auto found = framesOfFile(data);
    ASSERT_EQ(found.size(), 6u);
    const intptr_t sizes[] = {300, 301, 301, 300, 301};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(found[i].size, sizes[i]) << i;
    EXPECT_EQ(found[4].foundAt, intptr_t(data.size()) - 301);
}

// What is not a frame of the stream is searched through from its second
// byte, so a frame starting inside a rejected candidate is found, and a
// header-like word in junk does not fix the stream.
TEST(kelMpegAudioTest, RejectedCandidatesAreSearchedThrough)
{
    const std::string frames = framesOf(mp3Frame(), {0, 0, 1});
    kelTestMpegFrame at48k = mp3Frame();
    at48k.samplingIndex = 1;
    at48k.length = 384;
    kelTestMpegFrame reserved = mp3Frame();
    reserved.version = 2; // patched to the reserved version below
    std::string reservedBytes = kelTestMpegFrameBytes(reserved);
    reservedBytes[1] = char((reservedBytes[1] & ~0x18) | 0x08);
    kelTestMpegFrame mpeg25 = mp3Frame();
    mpeg25.version = 3;
    mpeg25.samplingIndex = 2;
    mpeg25.bitrateIndex = 8; // 64 kbit/s at 8000 Hz: 576 bytes
    mpeg25.length = 576;
    kelTestMpegFrame mpeg2 = mpeg25;
    mpeg2.version = 2; // 16 000 Hz: 288 bytes
    mpeg2.length = 288;
    std::string junkWithHeader(40, '\x11');
    junkWithHeader.replace(5, 4, kelTestMpegFrameBytes(at48k).substr(0, 4));

    struct Case
    {
        const char* name;
        std::string data;
        std::vector<intptr_t> offsets;
        intptr_t firstSkip;
    };
    const Case cases[] = {
        {"stray 0xFF", "\xFF" + frames, {1, 418, 835}, 1},
        {"false ID3 header", std::string("ID3\x03\x00\x01", 6) + frames, {6, 423, 840}, 6},
        {"ID3 with a size byte over 0x7F",
         std::string("ID3\x03\x00\x00\x00\x80", 8) + frames,
         {8, 425, 842},
         8},
        {"header-like word in junk", junkWithHeader + frames, {40, 457, 874}, 40},
        {"48 kHz frame after 44.1 kHz",
         frames.substr(0, 834) + kelTestMpegFrameBytes(at48k) + frames.substr(417),
         {0, 417, 1218, 1635},
         0},
        {"reserved version", reservedBytes + frames, {417, 834, 1251}, 417},
        {"MPEG-2 frame in MPEG-2.5",
         framesOf(mpeg25, {0, 0}) + kelTestMpegFrameBytes(mpeg2) + framesOf(mpeg25, {0}),
         {0, 576, 1440},
         0},
        {"ID3v2.4 with footer", kelTestId3v2Tag(4, 0x10, 50) + frames, {70, 487, 904}, 70},
        {"ID3v2.4 flag not in v2.3", kelTestId3v2Tag(3, 0x10, 0, 0) + frames, {20, 437, 854}, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto found = framesOfFile(c.data);
        EXPECT_EQ(offsetsOf(found), c.offsets);
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found[0].skip, c.firstSkip);
    }
    // A candidate rejected after the lock counts into the next frame's skip.
    const auto found = framesOfFile(cases[4].data);
    ASSERT_GE(found.size(), 3u);
    EXPECT_EQ(found[2].skip, 384);
}

// A growing stream is searched only while enough is buffered; a frame not
// yet whole is examined again once the rest has come.
TEST(kelMpegAudioTest, GrowingStreamWaitsForWholeFrames)
{
    const std::string data = framesOf(mp3Frame(), {0, 0, 0, 0, 0, 0});
    std::vector<uint8_t> buf(static_cast<size_t>(kelMpegAudio_layer123::kMaxFrameBytes));
    kelMpegHeader h;
    intptr_t at = 0;
    intptr_t skip = 0;
    intptr_t size = 0;
    for (bool panic : {false, true}) {
        SCOPED_TRACE(panic);
        const size_t threshold = panic ? 2000 : 40;
        kelBitReader_stream reader;
        kelMpegAudio_layer123 finder(&reader);
        reader.write(data.data(), intptr_t(threshold - 1));
        EXPECT_EQ(finder.nextFrame(h, at, skip, buf.data(), size, panic), kelMpegNoFrame);
        EXPECT_EQ(reader.bitOfs(), 0);
        reader.write(&data[threshold - 1], 1);
        const int32_t expected = panic ? kelMpegFrameFound : kelMpegFrameIncomplete;
        EXPECT_EQ(finder.nextFrame(h, at, skip, buf.data(), size, panic), expected);
        EXPECT_EQ(at, 0);
        if (!panic) {
            EXPECT_EQ(reader.bitOfs(), 0);
            reader.write(&data[threshold], 417 + 4 - intptr_t(threshold));
            ASSERT_EQ(finder.nextFrame(h, at, skip, buf.data(), size, panic), kelMpegFrameFound);
            EXPECT_EQ(size, 417);
            EXPECT_EQ(std::string(buf.begin(), buf.begin() + 417), data.substr(0, 417));
        }
    }
}

// The last frame cut at every offset: a file reports it as incomplete once
// and then ends; a stream keeps it and delivers it whole when the rest
// arrives. No frame is ever shorter than its header says.
TEST(kelMpegAudioTest, FrameCutByTheEndOfDataIsNeverDeliveredShort)
{
    const std::string frames = framesOf(mp3Frame(), {0, 1, 0});
    const size_t lastAt = 417 + 418;
    kelTempDir dir;
    std::vector<uint8_t> buf(static_cast<size_t>(kelMpegAudio_layer123::kMaxFrameBytes));
    for (size_t cut = 1; cut < 417; ++cut) {
        SCOPED_TRACE(cut);
        const std::string data = frames.substr(0, lastAt + cut);
        kelWriteBytes(dir.file("cut.mp3"), data);
        kelBitReader_file file(utf8ToUtf16(dir.file("cut.mp3")));
        kelMpegAudio_layer123 fromFile(&file);
        const auto found = kelTestMpegFrames(fromFile);
        ASSERT_EQ(found.size(), cut >= 4 ? 4u : 3u);
        EXPECT_EQ(found[2].result, cut >= 4 ? kelMpegFrameIncomplete : kelMpegNoFrame);
        if (cut >= 4) {
            EXPECT_EQ(found[2].foundAt, intptr_t(lastAt));
            EXPECT_EQ(found[3].result, kelMpegNoFrame);
        }

        kelBitReader_stream stream;
        kelMpegAudio_layer123 fromStream(&stream);
        stream.write(data.data(), intptr_t(data.size()));
        const auto early = kelTestMpegFrames(fromStream);
        ASSERT_EQ(early.size(), 3u);
        EXPECT_EQ(early[2].result, cut >= 40 ? kelMpegFrameIncomplete : kelMpegNoFrame);
        stream.write(&frames[lastAt + cut], intptr_t(frames.size() - lastAt - cut));
        const auto late = kelTestMpegFrames(fromStream);
        ASSERT_EQ(late.size(), 2u);
        EXPECT_EQ(late[0].foundAt, intptr_t(lastAt));
        EXPECT_EQ(late[0].skip, 0);
        EXPECT_EQ(late[0].bytes, frames.substr(lastAt));
    }
}

// A tag larger than each write is skipped whole, even when its contents
// look like frames (cover art): the remainder is remembered between calls.
TEST(kelMpegAudioTest, TagSpanningManyWritesIsSkippedWhole)
{
    const std::string frames = framesOf(mp3Frame(), {0, 1, 0, 1});
    std::string tag = kelTestId3v2Tag(3, 0, uint32_t(frames.size() * 3), '\0');
    tag.replace(10, frames.size() * 3, frames + frames + frames);
    const std::string data = tag + frames;
    for (size_t piece : {size_t(100), size_t(1000), size_t(4096)}) {
        SCOPED_TRACE(piece);
        kelBitReader_stream reader;
        kelMpegAudio_layer123 finder(&reader);
        std::vector<intptr_t> offsets;
        intptr_t skipped = 0;
        for (size_t at = 0; at < data.size(); at += piece) {
            reader.write(&data[at], intptr_t(std::min(piece, data.size() - at)));
            for (const auto& f : kelTestMpegFrames(finder)) {
                skipped += f.skip;
                if (f.result == kelMpegFrameFound) offsets.push_back(f.foundAt);
            }
        }
        const intptr_t start = intptr_t(tag.size());
        EXPECT_EQ(offsets, (std::vector<intptr_t>{start, start + 417, start + 835, start + 1252}));
        EXPECT_EQ(skipped, start);
    }
}

// One flipped bit anywhere in five frames: frames are reported only where
// frames start, as the data holds them, and every frame whose bytes and
// whose predecessor's bytes (the length it was reached by) are untouched is
// still found.
TEST(kelMpegAudioTest, FlippedBitsLoseOnlyTheFramesAroundThem)
{
    const std::string frames = framesOf(mp3Frame(), {0, 1, 0, 1, 1});
    const std::vector<size_t> starts = {0, 417, 835, 1252, 1670};
    auto frameOf = [&](size_t offset) {
        return size_t(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin() - 1);
    };
    for (size_t offset = 0; offset < frames.size(); ++offset) {
        for (int bit : {0, 7}) {
            std::string data = frames;
            data[offset] = char(data[offset] ^ (1 << bit));
            kelBitReader_stream reader;
            reader.write(data.data(), intptr_t(data.size()));
            kelMpegAudio_layer123 finder(&reader);
            std::vector<bool> found(starts.size(), false);
            for (const auto& f : kelTestMpegFrames(finder)) {
                if (f.result != kelMpegFrameFound) continue;
                const auto at = std::find(starts.begin(), starts.end(), size_t(f.foundAt));
                ASSERT_NE(at, starts.end())
                    << "offset " << offset << " bit " << bit << ": frame at " << f.foundAt;
                ASSERT_EQ(f.bytes, data.substr(size_t(f.foundAt), size_t(f.size)));
                found[size_t(at - starts.begin())] = true;
            }
            const size_t hit = frameOf(offset);
            for (size_t i = 0; i < starts.size(); ++i) {
                const size_t neighbour = i == 0 ? 1 : i - 1;
                if (i == hit || neighbour == hit) continue;
                EXPECT_TRUE(found[i]) << "offset " << offset << " bit " << bit << ": frame " << i << " lost";
            }
        }
    }
}
