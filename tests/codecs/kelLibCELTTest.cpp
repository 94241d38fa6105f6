// The CELT coders over the stand-in library (tests/support/celt): sizes,
// frame gathering, the library's results passed on no further than the
// coder's buffers, and the neutral coder without a library.

#include "codecs/kelLibCELT.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::string kStandin = std::string(KEL_TEST_CELT_DIR) + "/kel_test_celt_full.so";
const std::string kNoStrerror = std::string(KEL_TEST_CELT_DIR) + "/kel_test_celt_nostrerror.so";

// The stand-in's own test calls, from the copy the coders loaded.
template <typename F> F standinCall(const char* name)
{
    void* lib = dlopen(kStandin.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (lib == nullptr) return nullptr;
    auto f = reinterpret_cast<F>(dlsym(lib, name));
    dlclose(lib);
    return f;
}

struct Packets
{
    std::vector<std::vector<uint8_t>> got;
    void attach(kelLibCELTcoder& coder)
    {
        coder.setOnDataAvail([this](kelLibCELTcoder*, const void* data, int len) {
            const auto* p = static_cast<const uint8_t*>(data);
            got.emplace_back(p, p + len);
        });
    }
};

} // namespace

TEST(kelLibCELTTest, BindingNeedsEveryExport)
{
    kelCeltProc full, lacking, absent;
    EXPECT_EQ(full.load(kStandin), 0);
    EXPECT_EQ(full.loadCount(), 1);
    EXPECT_EQ(full.load(kStandin), 0);
    EXPECT_EQ(full.loadCount(), 2);
    full.unload();
    EXPECT_TRUE(full.isLoaded());
    full.unload();
    EXPECT_FALSE(full.isLoaded());
    EXPECT_EQ(full.encode, nullptr);

    EXPECT_EQ(lacking.load(kNoStrerror), -1);
    EXPECT_FALSE(lacking.isLoaded());
    EXPECT_EQ(lacking.encoderCreate, nullptr);

    // Debian ships no CELT: the default name does not load.
    EXPECT_EQ(absent.load(), kelLibNotFound);
    EXPECT_EQ(absent.fileName(), "libcelt0.so.2");
}

TEST(kelLibCELTTest, WithoutLibraryEveryCallIsNeutral)
{
    kelLibCELTencoder enc(48000, 480, 1, kNoStrerror);
    kelLibCELTdecoder dec(48000, 480, 1, "  ");
    EXPECT_FALSE(enc.libOK());
    EXPECT_FALSE(dec.libOK());
    EXPECT_EQ(enc.open(), -1);
    EXPECT_NE(dec.open(), 0);
    std::vector<uint8_t> pcm(960);
    EXPECT_EQ(enc.encode(pcm.data(), int(pcm.size())), 0);
    EXPECT_EQ(dec.decode(pcm.data(), 10), -1);
    EXPECT_EQ(enc.IOCTL(4, 5), kelCeltInvalidState);
    EXPECT_EQ(enc.errorText(0), "");
}

TEST(kelLibCELTTest, EncoderSizesFollowRateAndBitrate)
{
    kelLibCELTencoder enc(48000, 480, 1, kStandin);
    ASSERT_TRUE(enc.active());
    EXPECT_EQ(enc.bitrate(), 93);
    EXPECT_TRUE(enc.bitrateAuto());
    EXPECT_EQ(enc.compressedSize(), 118);
    enc.setBitrate(300);
    EXPECT_EQ(enc.bitrate(), 256);
    EXPECT_FALSE(enc.bitrateAuto());
    EXPECT_EQ(enc.compressedSize(), (256 * 128 / 100) & ~1);
    enc.setBitrate(8);
    EXPECT_EQ(enc.bitrate(), 12);

    kelLibCELTencoder stereo(48000, 480, 2, kStandin);
    stereo.setBitrate(8);
    EXPECT_EQ(stereo.bitrate(), 24);
    stereo.setBitrate(600);
    EXPECT_EQ(stereo.bitrate(), 512);
    // A frame size that is no multiple of 320 is limited to 512.
    kelLibCELTencoder odd(48000, 700, 1, kStandin);
    EXPECT_EQ(odd.frameSize(), 512);
    kelLibCELTencoder ok640(48000, 640, 1, kStandin);
    EXPECT_EQ(ok640.frameSize(), 640);
    EXPECT_EQ(enc.errorText(1), "stand-in error");
}

TEST(kelLibCELTTest, ParametersWithoutWholeFramesPerSecondAreRefused)
{
    struct Case
    {
        int rate, frame, channels;
    } cases[] = {{0, 480, 1}, {48000, 0, 1}, {400, 480, 1}, {48000, 480, 0}, {48000, 480, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + "/" + std::to_string(c.frame) + "/" +
                     std::to_string(c.channels));
        kelLibCELTencoder enc(c.rate, c.frame, c.channels, kStandin);
        EXPECT_FALSE(enc.active());
        EXPECT_EQ(enc.open(), kelCeltBadArg);
        kelLibCELTdecoder dec(c.rate, c.frame, c.channels, kStandin);
        EXPECT_FALSE(dec.active());
        EXPECT_EQ(dec.decode("x", 1), kelCeltBadArg);
    }
    // New parameters clear the kept error.
    kelLibCELTencoder enc(0, 480, 1, kStandin);
    EXPECT_EQ(enc.open(48000, 480, 1), 0);
    EXPECT_TRUE(enc.active());
}

TEST(kelLibCELTTest, EncoderGathersWholeFramesAndPassesOnOnlyItsRoom)
{
    kelLibCELTencoder enc(48000, 480, 1, kStandin);
    Packets out;
    out.attach(enc);
    std::vector<int16_t> pcm(480 * 2 + 100);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = int16_t(i * 7);
    const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
    EXPECT_EQ(enc.encode(bytes, 500), 0); // extends the pending frame only
    EXPECT_TRUE(out.got.empty());
    EXPECT_EQ(enc.encode(bytes + 500, int(pcm.size() * 2 - 500)), 1920 - 500);
    ASSERT_EQ(out.got.size(), 2u);
    EXPECT_EQ(standinCall<int (*)()>("kelTestCeltLastMaxBytes")(), 118);
    EXPECT_EQ(standinCall<int (*)()>("kelTestCeltLastFrameSize")(), 480);
    // The packet carries the sum of the second frame's samples.
    unsigned sum = 0;
    for (int i = 480; i < 960; ++i)
        sum += uint16_t(pcm[size_t(i)]);
    ASSERT_EQ(out.got[1].size(), 118u);
    EXPECT_EQ(out.got[1][0], uint8_t(sum));
    EXPECT_EQ(out.got[1][117], uint8_t(sum + 117));

    // A library claiming more bytes than the room: only the room goes on.
    standinCall<void (*)(int)>("kelTestCeltForceEncodeResult")(5000);
    out.got.clear();
    EXPECT_EQ(enc.encode(bytes, 960 - 200), 960 - 200);
    standinCall<void (*)(int)>("kelTestCeltForceEncodeResult")(0);
    ASSERT_EQ(out.got.size(), 1u);
    EXPECT_EQ(out.got[0].size(), 118u);

    EXPECT_EQ(enc.IOCTL(10, 42), 0);
    EXPECT_EQ(standinCall<int (*)()>("kelTestCeltLastRequest")(), 10);
    EXPECT_EQ(int32_t(standinCall<intptr_t (*)()>("kelTestCeltLastValue")()), 42);
    // Closing forgets the automatic bit rate.
    enc.close();
    EXPECT_EQ(enc.bitrate(), 0);
    EXPECT_EQ(enc.encode(bytes, 960), 0);
}

TEST(kelLibCELTTest, DecoderGivesOneFramePerPacket)
{
    kelLibCELTdecoder dec(48000, 480, 2, kStandin);
    ASSERT_TRUE(dec.active());
    Packets out;
    out.attach(dec);
    const uint8_t packet[] = {1, 2, 3};
    EXPECT_EQ(dec.decode(packet, 3), 0);
    ASSERT_EQ(out.got.size(), 1u);
    ASSERT_EQ(out.got[0].size(), 480u * 2 * 2);
    const auto* pcm = reinterpret_cast<const int16_t*>(out.got[0].data());
    EXPECT_EQ(pcm[0], 256);
    EXPECT_EQ(pcm[4], int16_t(2 * 256 + 4));
    // A lost packet (null) gives a frame too; a corrupt one none.
    EXPECT_EQ(dec.decode(nullptr, 0), 0);
    EXPECT_EQ(out.got.size(), 2u);
    EXPECT_EQ(dec.decode(packet, -1), kelCeltBadArg);
    EXPECT_EQ(out.got.size(), 2u);
}
