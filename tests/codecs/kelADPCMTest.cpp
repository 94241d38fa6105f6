#include "codecs/kelADPCM.h"

#include "tests/support/kelTestCodecs.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

// Block sizes of the reference vectors, in input samples.
const std::vector<size_t> kReferenceBlocks = {160, 161, 7, 2, 320, 350};

std::vector<std::string> splitBlocks(const std::string& file)
{
    std::vector<std::string> blocks;
    for (size_t pos = 0; pos + 2 <= file.size();) {
        const size_t size = uint8_t(file[pos]) | (uint8_t(file[pos + 1]) << 8);
        blocks.push_back(file.substr(pos + 2, size));
        pos += 2 + size;
    }
    return blocks;
}

std::string encodeBlock(kelADPCM_encoder& enc, const int16_t* data, size_t n)
{
    const uint8_t* out = nullptr;
    const size_t size = enc.encode(data, n, out);
    EXPECT_LE(size, kelADPCM_encoder::maxBlockSize(enc.variant(), n));
    return size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(out), size);
}

std::vector<int16_t> decodeBlock(kelADPCM_decoder& dec, const std::string& block)
{
    const int16_t* samples = nullptr;
    const size_t bytes = dec.decode(reinterpret_cast<const uint8_t*>(block.data()), block.size(), samples);
    EXPECT_EQ(bytes % 2, 0u);
    EXPECT_LE(bytes, kelADPCM_decoder::maxDecodedSize(dec.variant(), block.size()));
    return samples == nullptr ? std::vector<int16_t>() : std::vector<int16_t>(samples, samples + bytes / 2);
}

struct Layout
{
    kel_ADPCM_type variant;
    const char* name;
};

void PrintTo(const Layout& layout, std::ostream* os)
{
    *os << layout.name;
}

class kelADPCMReferenceTest : public ::testing::TestWithParam<Layout>
{
};

} // namespace

// Blocks of odd, even and tiny sizes from one encoder, state carried
// between them, equal the independently coded reference byte for byte, and
// a fresh decoder turns them into the reference samples.
TEST_P(kelADPCMReferenceTest, BlocksEqualTheReferenceCoderAndDecodeToItsSamples)
{
    const Layout layout = GetParam();
    const auto input = kelSamplesFromBytes(kelCodecVector("adpcm_input.raw"));
    const auto reference = splitBlocks(kelCodecVector(std::string("adpcm_") + layout.name + ".bin"));
    const auto decodedRef =
        kelSamplesFromBytes(kelCodecVector(std::string("adpcm_") + layout.name + "_decoded.raw"));
    ASSERT_EQ(input.size(), 1000u);
    ASSERT_EQ(reference.size(), kReferenceBlocks.size());

    kelADPCM_encoder enc(layout.variant);
    kelADPCM_decoder dec(layout.variant);
    std::vector<int16_t> decoded;
    size_t pos = 0;
    for (size_t i = 0; i < kReferenceBlocks.size(); ++i) {
        const std::string block = encodeBlock(enc, input.data() + pos, kReferenceBlocks[i]);
        pos += kReferenceBlocks[i];
        EXPECT_EQ(block, reference[i]) << "block " << i << " of " << kReferenceBlocks[i] << " samples";
        const auto samples = decodeBlock(dec, reference[i]);
        decoded.insert(decoded.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(decoded, decodedRef);
}

INSTANTIATE_TEST_SUITE_P(Layouts, kelADPCMReferenceTest,
                         ::testing::Values(Layout{adpcm_IMA4, "ima4"}, Layout{adpcm_DVI4, "dvi4"},
                                           Layout{adpcm_VDVI, "vdvi"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(kelADPCMTest, Dvi4BlockOf160SamplesIs84BytesAndDecodesTo160Samples)
{
    const auto signal = kelSpeechLikeSignal(160);
    kelADPCM_encoder enc(adpcm_DVI4);
    const std::string block = encodeBlock(enc, signal.data(), signal.size());
    ASSERT_EQ(block.size(), 84u);
    kelADPCM_decoder dec(adpcm_DVI4);
    const auto samples = decodeBlock(dec, block);
    ASSERT_EQ(samples.size(), 160u);
    // The decoder follows the encoder's own prediction exactly.
    EXPECT_EQ(samples.back(), enc.state().predicted);
}

TEST(kelADPCMTest, VdviSilenceFromAFreshEncoderIsTwoBitsPerSample)
{
    const std::vector<int16_t> silence(160, 0);
    kelADPCM_encoder enc(adpcm_VDVI);
    const std::string block = encodeBlock(enc, silence.data(), silence.size());
    ASSERT_EQ(block.size(), 44u);
    EXPECT_EQ(block, std::string(44, '\0'));
    kelADPCM_decoder dec(adpcm_VDVI);
    EXPECT_EQ(decodeBlock(dec, block), silence);
}

TEST(kelADPCMTest, Dvi4HeaderCarriesThePredictorAndIndexLeftByThePreviousBlock)
{
    const auto signal = kelSpeechLikeSignal(320);
    kelADPCM_encoder enc(adpcm_DVI4);
    const std::string first = encodeBlock(enc, signal.data(), 160);
    EXPECT_EQ(first.substr(0, 4), std::string(4, '\0'));
    const int32_t predicted = enc.state().predicted;
    const int32_t index = enc.state().stepIndex;
    ASSERT_NE(predicted, 0);
    const std::string second = encodeBlock(enc, signal.data() + 160, 160);
    ASSERT_EQ(second.size(), 84u);
    EXPECT_EQ(uint8_t(second[0]), uint16_t(predicted) >> 8);
    EXPECT_EQ(uint8_t(second[1]), uint16_t(predicted) & 0xFF);
    EXPECT_EQ(uint8_t(second[2]), index);
    EXPECT_EQ(second[3], 0);
}

TEST(kelADPCMTest, Ima4HeaderHoldsTheFirstSampleAndTheIndexCarriedOver)
{
    const auto signal = kelSpeechLikeSignal(321);
    kelADPCM_encoder enc(adpcm_IMA4);
    const std::string first = encodeBlock(enc, signal.data(), 160);
    EXPECT_EQ(first.size(), 83u); // 159 codes: the even count leaves out the last sample
    const int32_t index = enc.state().stepIndex;
    const std::string second = encodeBlock(enc, signal.data() + 160, 161);
    ASSERT_EQ(second.size(), 84u);
    EXPECT_EQ(int16_t(uint8_t(second[0]) | (uint8_t(second[1]) << 8)), signal[160]);
    EXPECT_EQ(uint8_t(second[2]), index);
    kelADPCM_decoder dec(adpcm_IMA4);
    const auto samples = decodeBlock(dec, second);
    ASSERT_EQ(samples.size(), 161u);
    EXPECT_EQ(samples[0], signal[160]);
}

TEST(kelADPCMTest, Ima4BlockOfTwoSamplesKeepsItsHeaderSample)
{
    const int16_t two[2] = {-1234, 500};
    kelADPCM_encoder enc(adpcm_IMA4);
    const std::string block = encodeBlock(enc, two, 2);
    ASSERT_EQ(block.size(), 4u);
    kelADPCM_decoder dec(adpcm_IMA4);
    EXPECT_EQ(decodeBlock(dec, block), std::vector<int16_t>{-1234});
}

TEST(kelADPCMTest, TooLittleInputGivesNothing)
{
    const int16_t one[1] = {1234};
    const uint8_t header[4] = {0, 0, 0, 0};
    for (auto variant : {adpcm_IMA4, adpcm_DVI4, adpcm_VDVI}) {
        kelADPCM_encoder enc(variant);
        const uint8_t* buf = header;
        EXPECT_EQ(enc.encode(one, 1, buf), 0u);
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(enc.encode(nullptr, 160, buf), 0u);
        kelADPCM_decoder dec(variant);
        const int16_t* samples = one;
        EXPECT_EQ(dec.decode(header, variant == adpcm_IMA4 ? 3 : 4, samples), 0u);
        EXPECT_EQ(samples, nullptr);
        EXPECT_EQ(dec.decode(nullptr, 40, samples), 0u);
    }
}

// Every input length, odd ones included, stays inside the block size the
// encoder allocates, and the codes that need the most bits (a full-scale
// square wave) fit the VDVI block.
TEST(kelADPCMTest, EveryInputLengthStaysWithinItsBlockAndRoundTrips)
{
    std::vector<int16_t> square(401);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 2) % 2 == 0 ? 32767 : -32768;
    for (auto variant : {adpcm_IMA4, adpcm_DVI4, adpcm_VDVI}) {
        for (size_t n = 2; n <= square.size(); ++n) {
            kelADPCM_encoder enc(variant);
            const std::string block = encodeBlock(enc, square.data(), n);
            const size_t coded = variant == adpcm_IMA4 ? 1 + (n - 1) / 2 * 2 : n / 2 * 2;
            kelADPCM_decoder dec(variant);
            const auto samples = decodeBlock(dec, block);
            ASSERT_EQ(samples.size(), coded) << "variant " << variant << ", " << n << " samples";
            EXPECT_EQ(samples.back(), enc.state().predicted);
        }
    }
}

TEST(kelADPCMTest, HeaderStepIndexBeyondTheTableIsLimited)
{
    const std::string body = "\x12\x34\x56\x78\x9A\xBC\xDE\xF0";
    for (auto variant : {adpcm_IMA4, adpcm_DVI4, adpcm_VDVI}) {
        kelADPCM_decoder wild(variant), top(variant);
        const auto a = decodeBlock(wild, std::string("\x10\x00\xFF\x00", 4) + body);
        const auto b = decodeBlock(top, std::string("\x10\x00\x58\x00", 4) + body);
        EXPECT_EQ(a, b) << "variant " << variant;
        EXPECT_FALSE(a.empty());
    }
}

TEST(kelADPCMTest, VdviStopsAtACodeCutShortByTheBlockEnd)
{
    // "010" (code 1), then "11111" with no terminating bit: one sample only.
    const std::string cut = std::string("\x00\x00\x00\x00", 4) + "\x5F";
    kelADPCM_decoder dec(adpcm_VDVI);
    EXPECT_EQ(decodeBlock(dec, cut).size(), 1u);
    // Eight 1 bits make code 15: a whole byte of filling is a sample, so the
    // encoder never writes one.
    kelADPCM_decoder full(adpcm_VDVI);
    EXPECT_EQ(decodeBlock(full, std::string("\x00\x00\x00\x00\xFF", 5)).size(), 1u);
}
