// The compression manager layer over the scripted driver handler
// (tests/support) and the installable test drivers: handle checks, the messages each
// call becomes, record sizes, used counts, installable drivers by file
// name, and calls from several threads.
#include "platform/kelAcmApi.h"
#include "platform/kelAcmRegistry.h"

#include "tests/support/kelTestAcm.h"
#include "tests/support/kelTestAcmDrivers.h"
#include "tests/support/kelTestScriptedAcmDriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using driver = kelTestScriptedAcmDriver;

std::vector<uint8_t> scriptedFormat()
{
    return kelTestAcmFormat(kelTestAcmTag, 1, 8000, 16000, 2, 16, {1, 2, 3, 4});
}

class kelAcmApiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kelTestAcmScript fresh;
        fresh.formatSize = 24; // asked when the driver first registers
        fresh.userAnswer = 0x77;
        driver::reset(fresh);
        f_id = driver::id();
        ASSERT_NE(f_id, nullptr);
        ASSERT_EQ(acmDriverOpen(&f_driver, f_id, 0), 0u);
        (void)driver::takeMessages();
    }
    void TearDown() override
    {
        if (f_driver != nullptr) acmDriverClose(f_driver, 0);
    }

    HACMDRIVERID f_id = nullptr;
    HACMDRIVER f_driver = nullptr;
};

} // namespace

TEST_F(kelAcmApiTest, RegisteringAddsOneDriverOnce)
{
    EXPECT_EQ(kelAcmAddDriver(&driver::proc), f_id);
    EXPECT_EQ(kelAcmAddDriver(nullptr), nullptr);
    std::vector<HACMDRIVERID> ids;
    ASSERT_EQ(acmDriverEnum(
                  [](HACMDRIVERID id, uintptr_t instance, uint32_t support) {
                      EXPECT_EQ(support, ACMDRIVERDETAILS_SUPPORTF_CODEC);
                      reinterpret_cast<std::vector<HACMDRIVERID>*>(instance)->push_back(id);
                      return true;
                  },
                  uintptr_t(&ids), 0),
              0u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), f_id), 1);
    uint32_t size = 0;
    EXPECT_EQ(acmMetrics(f_id, ACM_METRIC_MAX_SIZE_FORMAT, &size), 0u);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(acmMetrics(f_driver, ACM_METRIC_DRIVER_SUPPORT, &size), 0u);
    EXPECT_EQ(size, ACMDRIVERDETAILS_SUPPORTF_CODEC);
    EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_DRIVER_SUPPORT, &size), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmMetrics(f_id, ACM_METRIC_COUNT_DRIVERS, &size), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmMetrics(nullptr, 77, &size), MMSYSERR_NOTSUPPORTED);
}

// A handle the layer never gave, one already closed, or one of another kind
// answers 5 from every call that takes it.
TEST_F(kelAcmApiTest, StaleForeignAndWrongKindHandlesAnswerInvalidHandle)
{
    kelTestAcmStream open(scriptedFormat(), scriptedFormat(), f_driver);
    ASSERT_EQ(open.openResult(), 0u);
    HACMSTREAM closedStream = nullptr;
    ASSERT_EQ(acmStreamOpen(&closedStream, f_driver, kelTestAcmWfx(scriptedFormat()),
                            kelTestAcmWfx(scriptedFormat()), nullptr, 0, 0, 0),
              0u);
    ASSERT_EQ(acmStreamClose(closedStream, 0), 0u);
    HACMDRIVER closedDriver = nullptr;
    ASSERT_EQ(acmDriverOpen(&closedDriver, f_id, 0), 0u);
    ASSERT_EQ(acmDriverClose(closedDriver, 0), 0u);
    int local = 0;
    auto* foreign = reinterpret_cast<kelAcmHandle*>(&local);

    uint32_t value = 0;
    ACMDRIVERDETAILSW details{};
    details.cbStruct = sizeof details;
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    const std::vector<uint8_t> fmt = scriptedFormat();
    for (kelAcmHandle* bad : {foreign, closedStream, closedDriver}) {
        HACMDRIVER unused = nullptr;
        EXPECT_EQ(acmDriverOpen(&unused, bad, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmDriverClose(bad, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmDriverDetailsW(bad, &details, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmDriverMessage(bad, ACMDM_USER + 7, 0, 0), intptr_t(MMSYSERR_INVALHANDLE));
        EXPECT_EQ(acmMetrics(bad, ACM_METRIC_MAX_SIZE_FORMAT, &value), MMSYSERR_INVALHANDLE);
        HACMSTREAM stream = nullptr;
        EXPECT_EQ(acmStreamOpen(&stream, bad, kelTestAcmWfx(fmt), kelTestAcmWfx(fmt), nullptr, 0, 0, 0),
                  MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmStreamSize(bad, 10, &value, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmStreamPrepareHeader(bad, &header, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmStreamConvert(bad, &header, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmStreamUnprepareHeader(bad, &header, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmStreamReset(bad, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(acmStreamClose(bad, 0), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(SendDriverMessage(bad, ACMDM_USER, 0, 0), intptr_t(MMSYSERR_INVALHANDLE));
        EXPECT_EQ(CloseDriver(bad, 0, 0), 0);
    }
    // Wrong kinds: a stream is no driver, a driver id or open driver no stream.
    EXPECT_EQ(acmDriverClose(open.handle(), 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmDriverClose(f_id, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamReset(f_driver, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamSize(f_id, 10, &value, 0), MMSYSERR_INVALHANDLE);
    HACMDRIVER twice = nullptr;
    EXPECT_EQ(acmDriverOpen(&twice, f_driver, 0), MMSYSERR_INVALHANDLE);
}

// Each call is its driver message; the stream gets the layer's own copies
// of the records, and the conversion flags as given.
TEST_F(kelAcmApiTest, CallsBecomeDriverMessages)
{
    std::vector<uint8_t> src = scriptedFormat();
    {
        kelTestAcmStream stream(src, scriptedFormat(), f_driver);
        ASSERT_EQ(stream.openResult(), 0u);
        src.assign(src.size(), 0); // the caller's record may go away after open
        const auto step =
            stream.convert("abcdef", 4, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START);
        EXPECT_EQ(step.out, "abcd");
        EXPECT_EQ(step.srcUsed, 4u);
        ASSERT_FALSE(driver::snapshot().conversions.empty());
        EXPECT_EQ(driver::snapshot().conversions.back().flags,
                  ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START);
        EXPECT_EQ(acmStreamReset(stream.handle(), 0), 0u); // "not supported" means nothing to reset
        EXPECT_NE(driver::snapshot().openedSource, kelTestAcmWfx(src));
    }
    EXPECT_EQ(acmDriverMessage(f_driver, ACMDM_USER + 7, 0, 0), 0x77);
    EXPECT_EQ(acmDriverMessage(f_driver, ACMDM_STREAM_CONVERT, 0, 0), intptr_t(MMSYSERR_INVALPARAM));
    EXPECT_EQ(acmDriverMessage(f_driver, DRV_OPEN, 0, 0), intptr_t(MMSYSERR_INVALPARAM));
    const std::vector<uint32_t> expected = {
        ACMDM_STREAM_OPEN,  ACMDM_STREAM_PREPARE, ACMDM_STREAM_CONVERT, ACMDM_STREAM_UNPREPARE,
        ACMDM_STREAM_RESET, ACMDM_STREAM_CLOSE,   ACMDM_USER + 7};
    EXPECT_EQ(driver::takeMessages(), expected);
}

// Used counts past the buffers are cut to them; a header must be prepared
// on the stream, with the buffers it converts; a driver that refuses to
// close keeps the stream open; a driver with a stream open stays open.
TEST_F(kelAcmApiTest, HeadersAndCountsStayWithinTheirBuffers)
{
    kelTestAcmStream stream(scriptedFormat(), scriptedFormat(), f_driver);
    ASSERT_EQ(stream.openResult(), 0u);
    driver::edit([](kelTestAcmScript& s) { s.overstateUsed = true; });
    const auto step = stream.convert("abcdef", 4, 0);
    EXPECT_EQ(step.srcUsed, 6u);
    EXPECT_EQ(step.out.size(), 4u);

    uint8_t src[8] = {}, dst[8] = {}, other[8] = {};
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = src;
    header.cbSrcLength = 8;
    header.pbDst = dst;
    header.cbDstLength = 8;
    EXPECT_EQ(acmStreamConvert(stream.handle(), &header, 0), ACMERR_UNPREPARED);
    ASSERT_EQ(acmStreamPrepareHeader(stream.handle(), &header, 0), 0u);
    EXPECT_TRUE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
    header.cbSrcLength = 9;
    EXPECT_EQ(acmStreamConvert(stream.handle(), &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = 8;
    header.pbDst = other;
    EXPECT_EQ(acmStreamConvert(stream.handle(), &header, 0), MMSYSERR_INVALPARAM);
    header.pbDst = dst;
    EXPECT_EQ(acmStreamConvert(stream.handle(), &header, 0x40), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmStreamConvert(stream.handle(), &header, 0), 0u);
    EXPECT_TRUE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
    EXPECT_FALSE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE);
    EXPECT_EQ(acmStreamUnprepareHeader(stream.handle(), &header, 0), 0u);
    EXPECT_FALSE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
    EXPECT_EQ(acmStreamUnprepareHeader(stream.handle(), &header, 0), ACMERR_UNPREPARED);

    EXPECT_EQ(acmDriverClose(f_driver, 0), ACMERR_BUSY);
    driver::edit([](kelTestAcmScript& s) { s.closeAnswer = ACMERR_BUSY; });
    EXPECT_EQ(acmStreamClose(stream.handle(), 0), ACMERR_BUSY);
    uint32_t size = 0;
    EXPECT_EQ(acmStreamSize(stream.handle(), 4, &size, 0), 0u); // still open
    EXPECT_EQ(size, 4u);
    driver::edit([](kelTestAcmScript& s) { s.closeAnswer = MMSYSERR_NOERROR; });
}

// No call reads or writes past the size a record gives.
TEST_F(kelAcmApiTest, RecordsAreUsedWithinTheirGivenSize)
{
    std::vector<uint8_t> buffer(sizeof(ACMDRIVERDETAILSW), 0xEE);
    auto* details = reinterpret_cast<ACMDRIVERDETAILSW*>(buffer.data());
    details->cbStruct = 40;
    ASSERT_EQ(acmDriverDetailsW(f_id, details, 0), 0u);
    EXPECT_EQ(details->cbStruct, 40u);
    EXPECT_EQ(details->wMid, kelTestAcmMaker);
    for (size_t i = 40; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xEE) << i;
    details->cbStruct = 2;
    EXPECT_EQ(acmDriverDetailsW(f_id, details, 0), MMSYSERR_INVALPARAM);

    ACMFORMATTAGDETAILSA tag{};
    tag.cbStruct = sizeof tag - 1;
    const auto onTag = [](HACMDRIVERID, ACMFORMATTAGDETAILSA*, uintptr_t, uint32_t) { return true; };
    EXPECT_EQ(acmFormatTagEnumA(f_driver, &tag, onTag, 0, 0), MMSYSERR_INVALPARAM);
    tag.cbStruct = sizeof tag;
    EXPECT_EQ(acmFormatTagEnumA(f_driver, &tag, onTag, 0, 1), MMSYSERR_INVALFLAG);

    WAVEFORMATEX wfx{};
    ACMFORMATDETAILSA format{};
    format.cbStruct = sizeof format;
    format.pwfx = &wfx;
    format.cbwfx = sizeof wfx - 1;
    const auto onFormat = [](HACMDRIVERID, ACMFORMATDETAILSA*, uintptr_t, uint32_t) { return true; };
    EXPECT_EQ(acmFormatEnumA(f_driver, &format, onFormat, 0, 0), MMSYSERR_INVALPARAM);
    format.cbwfx = sizeof wfx;
    format.cbStruct = sizeof format - 1;
    EXPECT_EQ(acmFormatEnumA(f_driver, &format, onFormat, 0, 0), MMSYSERR_INVALPARAM);
    format.cbStruct = sizeof format;
    EXPECT_EQ(acmFormatEnumA(f_driver, &format, onFormat, 0, ACM_FORMATENUMF_SUGGEST), MMSYSERR_NOTSUPPORTED);

    EXPECT_EQ(acmFormatSuggest(f_driver, &wfx, &wfx, 15, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmFormatSuggest(f_driver, &wfx, &wfx, 16, 0x1), MMSYSERR_INVALFLAG);

    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header - 1;
    kelTestAcmStream stream(scriptedFormat(), scriptedFormat(), f_driver);
    EXPECT_EQ(acmStreamPrepareHeader(stream.handle(), &header, 0), MMSYSERR_INVALPARAM);

    HACMSTREAM out = nullptr;
    EXPECT_EQ(acmStreamOpen(&out, f_driver, &wfx, &wfx, nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(acmStreamOpen(nullptr, f_driver, &wfx, &wfx, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmStreamOpen(nullptr, f_driver, kelTestAcmWfx(scriptedFormat()),
                            kelTestAcmWfx(scriptedFormat()), nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
              0u);
}

// Installable drivers: loaded by file name, each OpenDriver a handle of its
// own that closes alone; defective files are refused.
TEST_F(kelAcmApiTest, InstallableDriversOpenByFileName)
{
    const std::u16string good = kelTestAcmDriverName("good");
    HDRVR first = OpenDriver(good.c_str(), nullptr, 0);
    HDRVR second = OpenDriver(good.c_str(), nullptr, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);

    ACMDRIVERDETAILSW details{};
    details.cbStruct = sizeof details;
    ASSERT_EQ(SendDriverMessage(first, ACMDM_DRIVER_DETAILS, intptr_t(&details), 0), 0);
    EXPECT_EQ(details.wMid, 0x7E57);

    // A stream through the driver's own messages: 0, 1000 and -1000 in mu-law.
    const auto pcm = kelTestAcmPcm(8000, 16, 1);
    const auto ulaw = kelTestAcmFormat(WAVE_FORMAT_MULAW, 1, 8000, 8000, 1, 8);
    ACMDRVSTREAMINSTANCE si{};
    si.cbStruct = sizeof si;
    si.pwfxSrc = const_cast<WAVEFORMATEX*>(kelTestAcmWfx(pcm));
    si.pwfxDst = const_cast<WAVEFORMATEX*>(kelTestAcmWfx(ulaw));
    ASSERT_EQ(SendDriverMessage(first, ACMDM_STREAM_OPEN, intptr_t(&si), 0), 0);
    uint8_t in[6] = {0x00, 0x00, 0xE8, 0x03, 0x18, 0xFC}, out[3] = {};
    ACMDRVSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = in;
    header.cbSrcLength = sizeof in;
    header.pbDst = out;
    header.cbDstLength = sizeof out;
    ASSERT_EQ(SendDriverMessage(first, ACMDM_STREAM_CONVERT, intptr_t(&si), intptr_t(&header)), 0);
    EXPECT_EQ(header.cbDstLengthUsed, 3u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0xFF, 0xCE, 0x4E}));
    EXPECT_EQ(SendDriverMessage(first, ACMDM_STREAM_CLOSE, intptr_t(&si), 0), 0);

    EXPECT_NE(CloseDriver(first, 0, 0), 0);
    EXPECT_EQ(SendDriverMessage(first, ACMDM_DRIVER_DETAILS, intptr_t(&details), 0),
              intptr_t(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(CloseDriver(first, 0, 0), 0);
    EXPECT_EQ(SendDriverMessage(second, ACMDM_DRIVER_DETAILS, intptr_t(&details), 0), 0);
    EXPECT_NE(CloseDriver(second, 0, 0), 0);

    const std::u16string noproc = kelTestAcmDriverName("noproc");
    const std::u16string missing = kelTestAcmDriverName("missing");
    EXPECT_EQ(OpenDriver(noproc.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(OpenDriver(missing.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(OpenDriver(nullptr, nullptr, 0), nullptr);
}

// Streams open, convert and close on several threads while others
// enumerate and open installable drivers.
TEST_F(kelAcmApiTest, CallsFromSeveralThreads)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                kelTestAcmStream stream(scriptedFormat(), scriptedFormat(), f_driver);
                if (stream.openResult() != 0 || stream.convert("xy", 2, 0).out != "xy") ++failures;
            }
        });
    threads.emplace_back([&] {
        const std::u16string good = kelTestAcmDriverName("good");
        for (int i = 0; i < 50; ++i) {
            uint32_t count = 0;
            if (acmMetrics(nullptr, ACM_METRIC_COUNT_DRIVERS, &count) != 0 || count == 0) ++failures;
            HDRVR d = OpenDriver(good.c_str(), nullptr, 0);
            if (d == nullptr || CloseDriver(d, 0, 0) == 0) ++failures;
        }
    });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}
