// The Speex coder against the speex tools: narrowband quality 7 frames
// byte-equal to speexenc's packets for the same input, and our decoding of
// them sample-equal to speexdec's.

#include "codecs/kelSpeexAPI.h"

#include "core/kelCreate.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestOgg.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestSpeex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

TEST(kelSpeexInteropTest, NarrowbandFramesMatchSpeexencAndDecodeLikeSpeexdec)
{
    if (!kelTestProcess::available("speexenc") || !kelTestProcess::available("speexdec"))
        GTEST_SKIP() << "speexenc/speexdec not installed (package speex, scripts/deps/speex.txt)";
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";

    constexpr size_t kFrames = 100;
    const auto pcm = kelTestSpeech(160 * kFrames, 8000);
    kelStableTestDir dir("speex-interop");
    const std::string raw = dir.file("in.raw"), spx = dir.file("out.spx"), dec = dir.file("dec.raw");
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
    ASSERT_EQ(kelTestProcess::runToEnd(
                  {"speexenc", "-n", "--quality", "7", "--rate", "8000", "--le", "--16bit", raw, spx}, 30000),
              0);
    ASSERT_EQ(kelTestProcess::runToEnd({"speexdec", spx, dec}, 30000), 0);
    const auto packets = kelTestOggPackets(kelTestProcess::readFile(spx));
    ASSERT_TRUE(packets);
    // The header and the comments come first.
    ASSERT_GE(packets->size(), 2 + kFrames);
    ASSERT_EQ(packets->front().compare(0, 8, "Speex   "), 0);

    kelOwned<kelSpeexEncoder> enc(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeNB));
    enc->setComplexity(3); // speexenc's default
    ASSERT_TRUE(enc->open());
    std::vector<std::string> ours;
    enc->setOnDataAvailable([&](intptr_t, const uint8_t* d, size_t n, int) {
        ours.emplace_back(reinterpret_cast<const char*>(d), n);
    });
    ASSERT_EQ(enc->encode_int(pcm.data(), intptr_t(pcm.size() * 2)), intptr_t(pcm.size() * 2));
    ASSERT_EQ(ours.size(), kFrames);
    for (size_t k = 0; k < kFrames; ++k)
        ASSERT_EQ(ours[k], (*packets)[2 + k]) << "frame " << k;

    // Decoding all of speexenc's packets.
    kelOwned<kelSpeexDecoder> decoder(kelCreate<kelSpeexDecoder>(&lib, kelSpeexModeNB));
    ASSERT_TRUE(decoder->open());
    std::vector<int16_t> decoded;
    decoder->setOnDataAvailable(
        [&](const int16_t* s, size_t size) { decoded.insert(decoded.end(), s, s + size / 2); });
    for (size_t k = 2; k < packets->size(); ++k)
        ASSERT_EQ(decoder->decode((*packets)[k].data(), intptr_t((*packets)[k].size())),
                  intptr_t((*packets)[k].size()));
    int lookahead = 0;
    ASSERT_EQ(decoder->ctl(SPEEX_GET_LOOKAHEAD, &lookahead), 0);
    const std::string reference = kelTestProcess::readFile(dec);
    ASSERT_EQ(reference.size() % 2, 0u);
    std::vector<int16_t> theirs(reference.size() / 2);
    std::memcpy(theirs.data(), reference.data(), reference.size());
    // speexdec keeps the decoder's delay at the start and ends where the
    // input, delayed by the look-ahead, ends.
    ASSERT_EQ(theirs.size(), pcm.size() + size_t(lookahead));
    ASSERT_LE(theirs.size(), decoded.size());
    EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), decoded.begin()));
}
