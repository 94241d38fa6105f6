// The codec component: µ-law chains over WAV files through a registry
// driver and through the installable test driver, GSM through a codec
// plug-in, driver selection per mode, and the process-wide registry that
// many threads ask for at once.

#include "kelPipeHarness.h"
#include "audio/kelMsAcmClasses.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestAcmDrivers.h"
#include "tests/support/kelTestCodecPlugins.h"
#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWaveChains.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr uintptr_t kMuLawTag = 7;

// A codec component with its requestAcm published.
class kelTestCodecComponent : public kelmtlWaveCodecDevice
{
public:
    using kelmtlWaveCodecDevice::kelmtlWaveCodecDevice;
    kelMsAcm* ask()
    {
        kelMsAcm* acm = nullptr;
        requestAcm(1, acm);
        return acm;
    }
    using kelmtlWaveCodecDevice::acm;
};

} // namespace

// WAV reader → codec (8000 Hz mono PCM to µ-law) → WAV writer, once over a
// registry driver and once over the installable test driver: the written
// file is a µ-law WAV whose codes are the reference codes of every input
// sample, and sox expands them to the reference samples.
TEST(kelmtlWaveCodecDeviceTest, MuLawChainsWriteTheReferenceCodes)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    const std::string compress = kelCodecVector("ulaw_compress.bin");
    const std::string expand = kelCodecVector("ulaw_expand.bin");
    ASSERT_EQ(compress.size(), 65536u);
    ASSERT_EQ(expand.size(), 512u);
    struct Case
    {
        const char* name;
        kelAcmCodecDriverMode mode;
        std::string library;
    };
    const Case cases[] = {
        {"registry", kelcdm_acm, ""},
        {"installable", kelcdm_installable, kelTestAcmDriverPath("good")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelStableTestDir dir(std::string("codec-ulaw-") + c.name);
        const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
        kelTestWritePcmWave(in, 8000, 1, kelTestEverySample());

        auto* writer = kelCreate<kelmtlWaveRiff>();
        auto* codec = kelCreate<kelmtlWaveCodecDevice>();
        auto* reader = kelCreate<kelmtlWaveRiff>();
        kelTestOwnedPipe o1(writer), o2(codec), o3(reader);
        writer->setIsInput(false);
        writer->setFileName(utf8ToUtf16(out));
        codec->setDriverMode(c.mode);
        codec->setDriverLibrary(c.library);
        codec->setFormatTag(kMuLawTag);
        ASSERT_NE(codec->driver(), nullptr);
        EXPECT_EQ(codec->driver()->isInstallable(), c.mode == kelcdm_installable);
        reader->setIsFormatProvider(true);
        reader->setFileName(utf8ToUtf16(in));
        ASSERT_TRUE(codec->addConsumer(writer));
        ASSERT_TRUE(reader->addConsumer(codec));
        // The codec settled on the reader's PCM and tells the writer so.
        EXPECT_EQ(codec->pcm_samplesPerSec(), 8000u);
        EXPECT_EQ(codec->pcm_numChannels(), 1u);
        EXPECT_EQ(codec->formatTag(), kMuLawTag);
        ASSERT_NE(codec->codec(), nullptr);
        ASSERT_TRUE(kelTestRunToEnd(reader, {codec, writer}));

        const auto written = kelTestReadWave(out);
        ASSERT_TRUE(written);
        EXPECT_EQ(written->tag(), kMuLawTag);
        ASSERT_GE(written->data.size(), compress.size());
        EXPECT_TRUE(written->data.compare(0, compress.size(), compress) == 0);
        const auto expanded =
            kelTestProcess::filter("sox '" + out + "' -t raw -e signed-integer -b 16 -", "");
        ASSERT_TRUE(expanded);
        ASSERT_GE(expanded->size(), 2 * compress.size());
        std::string reference;
        for (unsigned char code : compress)
            reference.append(expand, size_t(code) * 2, 2);
        EXPECT_TRUE(expanded->compare(0, reference.size(), reference) == 0);
    }
}

// GSM 06.10 through the test plug-in (its codec pair 1): the frames the
// component hands on are the frames toast makes of the same samples.
TEST(kelmtlWaveCodecDeviceTest, PluginGsmChainGivesToastFrames)
{
    if (!kelTestProcess::available("toast")) GTEST_SKIP() << "toast (libgsm-tools) is not installed";
    kelStableTestDir dir("codec-gsm");
    const std::string in = dir.file("in.wav");
    std::vector<int16_t> speech = kelTestSine(8000, 440, 8000, 9000);
    const std::vector<int16_t> second = kelTestSine(8000, 1250, 8000, 6000);
    for (size_t i = 0; i < speech.size(); ++i)
        speech[i] = int16_t(speech[i] + second[i] / 2);
    kelTestWritePcmWave(in, 8000, 1, speech);

    auto* sink = kelCreate<kelTestPipe>("sink");
    auto* codec = kelCreate<kelmtlWaveCodecDevice>();
    auto* reader = kelCreate<kelmtlWaveRiff>();
    kelTestOwnedPipe o1(sink), o2(codec), o3(reader);
    codec->setDriverMode(kelcdm_openH323plugin);
    codec->setDriverLibrary(kelTestPluginPath("good"));
    codec->setFormatTag(1);
    ASSERT_NE(codec->codec(), nullptr);
    ASSERT_NE(codec->codec()->plugin(), nullptr);
    EXPECT_EQ(codec->driver(), nullptr);
    reader->setIsFormatProvider(true);
    reader->setFileName(utf8ToUtf16(in));
    ASSERT_TRUE(codec->addConsumer(sink));
    ASSERT_TRUE(reader->addConsumer(codec));
    EXPECT_EQ(codec->pcm_samplesPerSec(), 8000u);
    EXPECT_EQ(codec->pcm_channelMask(), 4u);
    ASSERT_TRUE(kelTestRunToEnd(reader, {codec}));

    std::string frames;
    for (const kelTestBlock& block : sink->blocks()) {
        EXPECT_EQ(block.bytes.size(), 33u);
        frames.append(block.bytes.begin(), block.bytes.end());
    }
    // toast reads headerless 16-bit samples in host order with -l and
    // writes bare 33-byte frames to standard output with -c.
    const std::string raw = dir.file("in.raw");
    kelWriteBytes(raw, kelTestSampleBytes(speech));
    const auto reference = kelTestProcess::filter("toast -l -c '" + raw + "'", "");
    ASSERT_TRUE(reference);
    ASSERT_EQ(reference->size(), speech.size() / 160 * 33);
    ASSERT_GE(frames.size(), reference->size());
    EXPECT_TRUE(frames.compare(0, reference->size(), *reference) == 0);
}

// Which driver each mode selects, and what the component's record becomes.
TEST(kelmtlWaveCodecDeviceTest, DriverSelectionFollowsModeTagAndLibrary)
{
    struct Case
    {
        const char* name;
        kelAcmCodecDriverMode mode;
        std::string library;
        uintptr_t tag;
        bool driver;
        bool installable;
    };
    const Case cases[] = {
        {"registry µ-law", kelcdm_acm, "", kMuLawTag, true, false},
        {"registry PCM", kelcdm_acm, "", 1, true, false},
        {"registry unknown tag", kelcdm_acm, "", 0x7777, false, false},
        {"installable", kelcdm_installable, kelTestAcmDriverPath("good"), kMuLawTag, true, true},
        // An empty name would load the program itself as a driver.
        {"installable without library", kelcdm_installable, "", kMuLawTag, false, false},
        {"installable missing library", kelcdm_installable, "/nonexistent/driver.so", kMuLawTag, false,
         false},
        {"internal", kelcdm_internal, "", kMuLawTag, false, false},
        {"plug-in", kelcdm_openH323plugin, kelTestPluginPath("good"), 1, false, false},
    };
    kelMsAcm* shared = kelProcessAcm();
    ASSERT_NE(shared, nullptr);
    kelEnumerateAcmDriversOnce(shared);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const intptr_t driversBefore = shared->getDriverCount();
        {
            auto* codec = kelCreate<kelmtlWaveCodecDevice>();
            kelTestOwnedPipe own(codec);
            EXPECT_TRUE(codec->isFormatProvider());
            EXPECT_TRUE(codec->formatTagImmunable());
            codec->setDriverMode(c.mode);
            codec->setDriverLibrary(c.library);
            codec->setFormatTag(c.tag);
            EXPECT_EQ(codec->driver() != nullptr, c.driver);
            if (codec->driver()) {
                EXPECT_EQ(codec->driver()->isInstallable(), c.installable);
                EXPECT_EQ(codec->codec()->driver(), codec->driver());
            }
            if (c.installable) {
                EXPECT_EQ(shared->getDriverCount(), driversBefore + 1);
            }
        }
        // A driver the component loaded went with it.
        EXPECT_EQ(shared->getDriverCount(), driversBefore);
    }
}

// Decoding: a compressed format given to the codec (setNonPCMFormat) makes
// the tag and the PCM side the driver suggests; the codes written come out
// as the reference samples.
TEST(kelmtlWaveCodecDeviceTest, DecoderTakesACompressedFormatAndExpandsIt)
{
    const std::string compress = kelCodecVector("ulaw_compress.bin");
    const std::string expand = kelCodecVector("ulaw_expand.bin");
    auto* sink = kelCreate<kelTestPipe>("sink");
    auto* codec = kelCreate<kelmtlWaveCodecDevice>();
    kelTestOwnedPipe o1(sink), o2(codec);
    codec->setInputIsPcm(false);
    codec->setIgnoreProviderOptions(kelIpoNoActivation);
    WAVEFORMATEX ulaw{WAVE_FORMAT_MULAW, 1, 8000, 8000, 1, 8, 0};
    ASSERT_TRUE(codec->setNonPCMFormat(&ulaw));
    EXPECT_EQ(codec->formatTag(), kMuLawTag);
    EXPECT_EQ(codec->pcm_samplesPerSec(), 8000u);
    EXPECT_EQ(codec->pcm_bitsPerSample(), 16u);
    EXPECT_EQ(codec->pcm_numChannels(), 1u);
    ASSERT_TRUE(codec->addConsumer(sink));
    ASSERT_TRUE(codec->open());
    for (size_t at = 0; at < compress.size(); at += 1000)
        ASSERT_GT(codec->write(compress.data() + at, uint32_t(std::min<size_t>(1000, compress.size() - at))),
                  0u);
    std::string reference;
    for (unsigned char code : compress)
        reference.append(expand, size_t(code) * 2, 2);
    std::string ours;
    for (const kelTestBlock& block : sink->blocks())
        ours.append(block.bytes.begin(), block.bytes.end());
    ASSERT_LE(ours.size(), reference.size());
    EXPECT_GE(ours.size(), reference.size() - 2 * codec->chunkSize());
    EXPECT_TRUE(reference.compare(0, ours.size(), ours) == 0);
}

// In plug-in mode the record is the selected plug-in codec's, and 8000 Hz
// 16-bit mono with mask 4 while none is selected.
TEST(kelmtlWaveCodecDeviceTest, PluginModeRecordIsThePluginCodecs)
{
    auto* provider = kelCreate<kelTestPipe>("provider");
    auto* codec = kelCreate<kelmtlWaveCodecDevice>();
    kelTestOwnedPipe o1(codec), o2(provider);
    codec->setDriverMode(kelcdm_openH323plugin);
    codec->setFormatTag(99); // no such codec pair
    codec->setDriverLibrary(kelTestPluginPath("good"));
    provider->setIsFormatProvider(true);
    provider->setFormat(kelTestWaveBlock(44100, 24, 2));
    ASSERT_TRUE(provider->addConsumer(codec));
    EXPECT_EQ(codec->codec()->getoH323pluginDesc(-1), nullptr);
    EXPECT_EQ(codec->pcm_samplesPerSec(), 8000u);
    EXPECT_EQ(codec->pcm_bitsPerSample(), 16u);
    EXPECT_EQ(codec->pcm_numChannels(), 1u);
    EXPECT_EQ(codec->pcm_channelMask(), 4u);

    // The block it offers is the codec block: driver mode and library.
    auto* consumer = kelCreate<kelTestPipe>("consumer");
    kelTestOwnedPipe o3(consumer);
    ASSERT_TRUE(codec->addConsumer(consumer));
    const std::vector<uint8_t> block = consumer->lastFormat();
    ASSERT_EQ(block.size(), kelCodecFormatBlockSize);
    int32_t mode = 0;
    std::memcpy(&mode, block.data() + kelCodecBlockDriverModeOffset, 4);
    EXPECT_EQ(mode, kelcdm_openH323plugin);
}

// Eight threads making codec components at once, in a process where nobody
// asked for the registry before (each creation asks for it and selects a
// driver), then asking again at once: all get the same registry.
TEST(kelmtlWaveCodecDeviceTest, EightThreadsGetOneProcessRegistry)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr int kThreads = 8;
            std::vector<kelTestCodecComponent*> components(kThreads, nullptr);
            std::vector<kelMsAcm*> asked(kThreads, nullptr);
            std::atomic<int> ready{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i)
                threads.emplace_back([&, i] {
                    ready.fetch_add(1);
                    while (ready.load() < kThreads) {
                    }
                    components[size_t(i)] = kelCreate<kelTestCodecComponent>();
                    ready.fetch_add(1);
                    while (ready.load() < 2 * kThreads) {
                    }
                    asked[size_t(i)] = components[size_t(i)]->ask();
                });
            for (std::thread& t : threads)
                t.join();
            kelMsAcm* one = kelProcessAcm();
            bool same = one != nullptr;
            for (int i = 0; i < kThreads; ++i)
                same = same && components[size_t(i)] && components[size_t(i)]->acm() == one &&
                       asked[size_t(i)] == one && components[size_t(i)]->driver() != nullptr;
            for (auto* component : components)
                kelFree(component);
            std::exit(same ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
