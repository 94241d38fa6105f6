#include "codecs/kelLazyWriteThread.h"
#include "codecs/kelOpenH323Plugin.h"
#include "tests/support/kelTestCodecPlugins.h"
#include "tests/support/kelTestCodecs.h"

#include <gtest/gtest.h>

extern "C" {
#include <gsm.h>
}

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr intptr_t kUlawEncoder = 0, kUlawDecoder = 1, kGsmEncoder = 2, kGsmDecoder = 3;

std::unique_ptr<kel_openH323plugin> makePlugin(const std::string& form)
{
    return std::make_unique<kel_openH323plugin>(kelTestPluginName(form));
}

// Codes `input` through encodeChunkInPlace one input chunk at a time.
std::string codeInPlace(kel_openH323plugin& coder, const std::string& input)
{
    std::string out;
    std::vector<uint8_t> room(4096);
    for (size_t pos = 0; pos < input.size();) {
        uint32_t size = uint32_t(std::min<size_t>(coder.inputChunkSize(), input.size() - pos));
        const uint32_t made =
            coder.encodeChunkInPlace(input.data() + pos, size, room.data(), uint32_t(room.size()));
        if (made == 0 || size == 0) {
            ADD_FAILURE() << "coding stopped at " << pos << " with error " << coder.errorCode();
            break;
        }
        out.append(reinterpret_cast<const char*>(room.data()), made);
        pos += size;
    }
    return out;
}

TEST(OpenH323Plugin, LoadsTheDefinitionsAndCountsUses)
{
    auto coder = makePlugin("good");
    ASSERT_TRUE(coder->procOK()) << coder->loadErrorText();
    EXPECT_EQ(coder->errorCode(), kelEncoderOK);
    EXPECT_EQ(coder->apiVersion(), 1u);
    ASSERT_EQ(coder->codecDefCount(), 4u);
    EXPECT_STREQ(coder->getCodecDef(kGsmEncoder)->destFormat, "GSM-06.10");
    EXPECT_EQ(coder->getCodecDef(4), nullptr);
    EXPECT_EQ(coder->getCodecDef(-1), nullptr);
    EXPECT_TRUE(coder->isEncoder(kUlawEncoder));
    EXPECT_FALSE(coder->isEncoder(kUlawDecoder));
    EXPECT_FALSE(coder->isEncoder(-1)); // nothing selected yet

    EXPECT_EQ(coder->loadLibrary(), kelEncoderOK);
    EXPECT_EQ(coder->useCount(), 2u);
    coder->unloadLibrary();
    EXPECT_TRUE(coder->procOK());
    ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
    coder->unloadLibrary();
    EXPECT_FALSE(coder->procOK());
    EXPECT_EQ(coder->codecDefCount(), 0u);
    EXPECT_EQ(coder->codecIndex(), -1);
    EXPECT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderErrorNoCodec);
}

TEST(OpenH323Plugin, LoadFailuresLeaveNoCodecs)
{
    auto missing = std::make_unique<kel_openH323plugin>(u"/nonexistent/kel_no_such_plugin.so");
    EXPECT_EQ(missing->errorCode(), kelEncoderErrorLoadFailed);
    EXPECT_EQ(missing->loadResult(), kelPluginLoadNoLibrary);
    EXPECT_FALSE(missing->loadErrorText().empty());
    EXPECT_EQ(missing->selectCodec(0), kelEncoderErrorNoCodec);

    auto noEntry = makePlugin("noentry");
    EXPECT_EQ(noEntry->errorCode(), kelEncoderErrorLoadFailed);
    EXPECT_EQ(noEntry->loadResult(), kelPluginLoadNoEntryPoint);
    EXPECT_FALSE(noEntry->procOK());
    EXPECT_EQ(noEntry->useCount(), 0u);
}

// A plug-in that does not speak version 1 answers null (with a stale
// count): that is a plug-in without codecs, not an array to read.
TEST(OpenH323Plugin, NullDefinitionsMeanNoCodecs)
{
    auto coder = makePlugin("nocodecs");
    ASSERT_TRUE(coder->procOK());
    EXPECT_EQ(coder->codecDefCount(), 0u);
    EXPECT_EQ(coder->getCodecDef(0), nullptr);
    EXPECT_FALSE(coder->isEncoder(0));
    EXPECT_EQ(coder->selectCodec(0), kelEncoderErrorNoCodec);
    EXPECT_EQ(coder->open(), kelEncoderErrorNotConfigured);
}

TEST(OpenH323Plugin, IncompleteDefinitionsCannotBeSelected)
{
    auto coder = makePlugin("defective");
    ASSERT_EQ(coder->codecDefCount(), 9u);
    for (intptr_t index = 0; index < 6; ++index) {
        EXPECT_EQ(coder->selectCodec(index), kelEncoderErrorNoCodec) << coder->getCodecDef(index)->descr;
        EXPECT_EQ(coder->codecIndex(), -1);
        EXPECT_FALSE(coder->configOK());
    }
    EXPECT_EQ(coder->selectCodec(9), kelEncoderErrorNoCodec);
    EXPECT_EQ(coder->selectCodec(-1), kelEncoderErrorNoCodec);
}

// Claims of more output than the room, or more input than given, and a
// plain failure: all error 5, with nothing copied past the caller's room.
TEST(OpenH323Plugin, DefectiveCodecFunctionsFailWithoutOverrun)
{
    kelTestPluginProbe probe("defective");
    auto coder = makePlugin("defective");
    const std::string input = kelBytesFromSamples(kelSpeechLikeSignal(160));
    for (intptr_t index : {6, 7, 8}) {
        SCOPED_TRACE(coder->getCodecDef(index)->descr);
        ASSERT_EQ(coder->selectCodec(index), kelEncoderOK);
        ASSERT_EQ(coder->open(), kelEncoderOK);
        std::vector<uint8_t> room(160 + 16, 0xA5);
        uint32_t size = uint32_t(input.size());
        EXPECT_EQ(coder->encodeChunkInPlace(input.data(), size, room.data(), 160), 0u);
        EXPECT_EQ(coder->errorCode(), kelEncoderErrorCodecFailed);
        EXPECT_EQ(size, input.size());
        for (size_t i = 160; i < room.size(); ++i)
            ASSERT_EQ(room[i], 0xA5) << "written past the room at " << i;

        // The same chunk through the lazy thread delivers nothing.
        EXPECT_EQ(coder->lazyThread()->write(input.data(), intptr_t(input.size())), intptr_t(input.size()));
        coder->close();
        EXPECT_EQ(coder->availableSize(kelEncoderOutStream), 0);
        EXPECT_EQ(coder->availableSize(kelEncoderLazyStream), 0);
        EXPECT_EQ(coder->encodedDataSize(), 0);
    }
    EXPECT_EQ(probe.liveInstances(), 0);
}

TEST(OpenH323Plugin, UlawPairMatchesTheTables)
{
    const std::string compress = kelCodecVector("ulaw_compress.bin");
    const std::string expand = kelCodecVector("ulaw_expand.bin");
    ASSERT_EQ(compress.size(), 65536u);
    ASSERT_EQ(expand.size(), 512u);
    auto coder = makePlugin("good");

    ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
    EXPECT_EQ(coder->inputChunkSize(), 320u);
    EXPECT_EQ(coder->minOutputBufSize(), 160u);
    ASSERT_EQ(coder->open(), kelEncoderOK);
    std::vector<int16_t> every(65536);
    for (size_t i = 0; i < every.size(); ++i)
        every[i] = int16_t(int(i) - 32768);
    EXPECT_EQ(codeInPlace(*coder, kelBytesFromSamples(every)), compress);
    EXPECT_EQ(coder->encodedDataSize(), 65536);

    ASSERT_EQ(coder->selectCodec(kUlawDecoder), kelEncoderOK);
    EXPECT_FALSE(coder->opened()); // a new selection closes
    EXPECT_EQ(coder->inputChunkSize(), 160u);
    EXPECT_EQ(coder->minOutputBufSize(), 320u);
    ASSERT_EQ(coder->open(), kelEncoderOK);
    std::string codes(256, '\0');
    for (int c = 0; c < 256; ++c)
        codes[size_t(c)] = char(c);
    EXPECT_EQ(codeInPlace(*coder, codes), expand);
}

TEST(OpenH323Plugin, GsmPairMatchesLibgsm)
{
    const std::vector<int16_t> signal = kelSpeechLikeSignal(160 * 12);
    std::string direct;
    std::vector<int16_t> directDecoded;
    {
        gsm enc = gsm_create(), dec = gsm_create();
        for (size_t f = 0; f < signal.size() / 160; ++f) {
            gsm_signal frame[160];
            gsm_byte coded[33];
            std::memcpy(frame, signal.data() + f * 160, sizeof frame);
            gsm_encode(enc, frame, coded);
            direct.append(reinterpret_cast<const char*>(coded), 33);
            ASSERT_EQ(gsm_decode(dec, coded, frame), 0);
            directDecoded.insert(directDecoded.end(), frame, frame + 160);
        }
        gsm_destroy(enc);
        gsm_destroy(dec);
    }
    auto coder = makePlugin("good");
    ASSERT_EQ(coder->selectCodec(kGsmEncoder), kelEncoderOK);
    ASSERT_EQ(coder->open(), kelEncoderOK);
    EXPECT_EQ(codeInPlace(*coder, kelBytesFromSamples(signal)), direct);
    ASSERT_EQ(coder->selectCodec(kGsmDecoder), kelEncoderOK);
    ASSERT_EQ(coder->open(), kelEncoderOK);
    EXPECT_EQ(codeInPlace(*coder, direct), kelBytesFromSamples(directDecoded));
}

TEST(OpenH323Plugin, InstancesFollowOpenCloseAndSelection)
{
    kelTestPluginProbe probe("good");
    ASSERT_TRUE(probe.ok());
    {
        auto coder = makePlugin("good");
        uint8_t in[320] = {}, out[160];
        uint32_t size = sizeof in;
        ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
        // Configured but not open: no instance to hand the plug-in.
        EXPECT_EQ(coder->encodeChunkInPlace(in, size, out, sizeof out), 0u);
        EXPECT_EQ(coder->errorCode(), kelEncoderErrorNoCodec);
        EXPECT_EQ(probe.liveInstances(), 0);
        ASSERT_EQ(coder->open(), kelEncoderOK);
        EXPECT_EQ(probe.liveInstances(), 1);
        EXPECT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK); // already selected: stays open
        EXPECT_TRUE(coder->opened());
        EXPECT_TRUE(coder->isEncoder());
        EXPECT_EQ(coder->setCodecIndex(kGsmDecoder), kelEncoderOK);
        EXPECT_EQ(coder->codecIndex(), kGsmDecoder);
        EXPECT_EQ(probe.liveInstances(), 0);
        EXPECT_FALSE(coder->isEncoder());
        ASSERT_EQ(coder->open(), kelEncoderOK);
        EXPECT_EQ(probe.liveInstances(), 1);
    }
    EXPECT_EQ(probe.liveInstances(), 0); // the destructor closed before unloading
    {
        auto owned = kelMakeOwned<kel_openH323plugin>(kelTestPluginName("good"));
        ASSERT_TRUE(owned);
        ASSERT_EQ(owned->selectCodec(kGsmEncoder), kelEncoderOK);
        ASSERT_EQ(owned->open(), kelEncoderOK);
        EXPECT_EQ(probe.liveInstances(), 1);
    }
    EXPECT_EQ(probe.liveInstances(), 0); // and so did kelFree
}

// A caller's room shorter than the plug-in's frame gets what fits and the
// full count, so it can tell its room was short.
TEST(OpenH323Plugin, ShortCallerRoomIsNeverOverrun)
{
    auto coder = makePlugin("good");
    ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
    ASSERT_EQ(coder->open(), kelEncoderOK);
    const std::string input = kelBytesFromSamples(kelSpeechLikeSignal(160));
    std::vector<uint8_t> room(120, 0x5A);
    uint32_t size = uint32_t(input.size());
    EXPECT_EQ(coder->encodeChunkInPlace(input.data(), size, room.data(), 100), 160u);
    EXPECT_EQ(size, 320u);
    for (size_t i = 100; i < room.size(); ++i)
        ASSERT_EQ(room[i], 0x5A);
}

} // namespace
