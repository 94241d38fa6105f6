// The codec device in plug-in mode over the test codec plug-ins: format tag
// t selects definitions 2t (encoder) and 2t + 1 (decoder); tag 1 is GSM
// 06.10 (160 samples, 33 bytes a frame).

#include "audio/kelMsAcmCodec.h"
#include "codecs/kelOpenH323Plugin.h"
#include "tests/support/kelTestAcmCodec.h"
#include "tests/support/kelTestCodecPlugins.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <gsm.h>
}

namespace {

constexpr uint16_t kGsmTag = 1;

std::unique_ptr<kelTestAcmCodec> pluginCodec(const std::string& form, bool encode, uint16_t tag = kGsmTag)
{
    auto codec = std::make_unique<kelTestAcmCodec>(nullptr, kelcdm_openH323plugin);
    (*codec)->setDriverLibrary(kelTestPluginName(form));
    EXPECT_NE((*codec)->plugin(), nullptr);
    WAVEFORMATEX record{};
    record.wFormatTag = tag;
    EXPECT_TRUE((*codec)->setFormatSuggest(encode, &record, sizeof record));
    return codec;
}

// libgsm's own frames for `pcm` (whole frames only).
std::string gsmFrames(const std::string& pcm)
{
    gsm state = gsm_create();
    std::string out;
    for (size_t at = 0; at + 320 <= pcm.size(); at += 320) {
        gsm_signal frame[160];
        std::memcpy(frame, pcm.data() + at, 320);
        gsm_byte coded[33];
        gsm_encode(state, frame, coded);
        out.append(reinterpret_cast<const char*>(coded), 33);
    }
    gsm_destroy(state);
    return out;
}

} // namespace

// Encoding: 320-byte chunks of 33 bytes each; writes of any size give
// libgsm's frames for every whole chunk, and a tail shorter than a frame
// waits for the next write instead of being coded (or dropped) alone.
TEST(kelMsAcmCodecPluginTest, EncoderCodesWholeFramesWhateverTheWriteSizes)
{
    const std::string pcm = kelTestPcmRamp(160 * 12 + 77);
    const std::string expected = gsmFrames(pcm);
    const size_t pieces[] = {1, 100, 333, 800, pcm.size()};
    for (size_t piece : pieces) {
        SCOPED_TRACE(piece);
        auto codec = pluginCodec("good", true);
        ASSERT_EQ((*codec)->open(false, 1000, 0, false), 0u);
        EXPECT_EQ((*codec)->chunkSize(), 320u);
        EXPECT_EQ((*codec)->dstChunkSize(), 33u);
        EXPECT_EQ((*codec)->dstFormatInfo(), u"GSM-06.10");
        EXPECT_TRUE(codec->writeInPieces(pcm, piece));
        EXPECT_EQ(codec->output(), expected);
        EXPECT_EQ((*codec)->pendingSize(), pcm.size() % 320);
        for (const std::string& chunk : codec->chunks())
            EXPECT_EQ(chunk.size(), 33u);
    }
}

// Decoding the frames back: 33-byte chunks give 320 bytes each, the same
// as libgsm's decoder.
TEST(kelMsAcmCodecPluginTest, DecoderTakesFramesInAnyPieces)
{
    const std::string frames = gsmFrames(kelTestPcmRamp(160 * 6));
    gsm state = gsm_create();
    std::string expected;
    for (size_t at = 0; at < frames.size(); at += 33) {
        gsm_signal pcm[160];
        gsm_decode(state, reinterpret_cast<gsm_byte*>(const_cast<char*>(frames.data() + at)), pcm);
        expected.append(reinterpret_cast<const char*>(pcm), 320);
    }
    gsm_destroy(state);
    for (size_t piece : {size_t(1), size_t(20), size_t(50), frames.size()}) {
        SCOPED_TRACE(piece);
        auto codec = pluginCodec("good", false);
        ASSERT_EQ((*codec)->open(false, 1000, 0, false), 0u);
        EXPECT_EQ((*codec)->chunkSize(), 33u);
        EXPECT_EQ((*codec)->dstChunkSize(), 320u);
        EXPECT_TRUE(codec->writeInPieces(frames, piece));
        EXPECT_EQ(codec->output(), expected);
    }
}

// Close remembers the selected codec; a new open selects it again.
TEST(kelMsAcmCodecPluginTest, ReopenSelectsTheSameCodec)
{
    auto codec = pluginCodec("good", true);
    ASSERT_EQ((*codec)->plugin()->codecIndex(), 2);
    ASSERT_EQ((*codec)->open(false, 1000, 0, false), 0u);
    ASSERT_EQ((*codec)->close(3000), 0u);
    EXPECT_EQ((*codec)->pluginOldIndex(), 2);
    ASSERT_EQ((*codec)->open(false, 1000, 0, false), 0u);
    EXPECT_EQ((*codec)->plugin()->codecIndex(), 2);
    EXPECT_EQ((*codec)->dstChunkSize(), 33u);
    const std::string pcm = kelTestPcmRamp(160);
    EXPECT_EQ((*codec)->write(pcm.data(), pcm.size()), pcm.size());
    EXPECT_EQ(codec->output(), gsmFrames(pcm));
}

// Selections that cannot work are refused; a codec whose conversions fail
// delivers nothing and takes the data.
TEST(kelMsAcmCodecPluginTest, UnusableDefinitionsAndFailingCodecs)
{
    struct Case
    {
        const char* name;
        const char* form;
        bool encode;
        uint16_t tag;
        bool selects;
    };
    const Case cases[] = {
        {"decoder asked to encode", "good", false, 5, false}, // no such pair
        {"missing create", "defective", true, 0, false},
        {"failing coder", "defective", true, 4, true}, // definition 8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelTestAcmCodec codec(nullptr, kelcdm_openH323plugin);
        codec->setDriverLibrary(kelTestPluginName(c.form));
        WAVEFORMATEX record{};
        record.wFormatTag = c.tag;
        EXPECT_EQ(codec->setFormatSuggest(c.encode, &record, sizeof record), c.selects);
        if (!c.selects) continue;
        ASSERT_EQ(codec->open(false, 1000, 0, false), 0u);
        const std::string pcm = kelTestPcmRamp(480);
        EXPECT_EQ(codec->write(pcm.data(), pcm.size()), pcm.size());
        EXPECT_TRUE(codec.output().empty());
    }
    // A plug-in whose remembered codec cannot be selected does not open.
    kelTestAcmCodec unselected(nullptr, kelcdm_openH323plugin);
    unselected->setDriverLibrary(kelTestPluginName("defective"));
    const WAVEFORMATEX l16 = kelTestPcmFormat(8000, 1, 16);
    ASSERT_TRUE(unselected->setFormat(true, &l16) && unselected->setFormat(false, &l16));
    EXPECT_EQ(unselected->open(false, 1000, 0, false), uint32_t(MMSYSERR_INVALHANDLE));
    EXPECT_FALSE(unselected->isOpen());

    // Without a plug-in nothing can be suggested or opened.
    kelTestAcmCodec none(nullptr, kelcdm_openH323plugin);
    none->setDriverLibrary(u"/nonexistent/plugin.so");
    EXPECT_EQ(none->plugin(), nullptr);
    WAVEFORMATEX record{};
    record.wFormatTag = kGsmTag;
    EXPECT_FALSE(none->setFormatSuggest(true, &record, sizeof record));
    const WAVEFORMATEX pcm = kelTestPcmFormat(8000, 1, 16);
    ASSERT_TRUE(none->setFormat(true, &pcm) && none->setFormat(false, &pcm));
    EXPECT_EQ(none->open(false, 1000, 0, false), uint32_t(MMSYSERR_NODRIVER));
}
