// Installable drivers: the registry loads them from their shared objects and
// the codec device drives them by their stream messages, over the mu-law
// test driver in its sound and defective forms.

#include "audio/kelMsAcm.h"
#include "audio/kelMsAcmCodec.h"
#include "platform/kelDynLib.h"
#include "tests/support/kelTestAcmCodec.h"
#include "tests/support/kelTestAcmDrivers.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// One form of the test driver loaded beside the registry's handles (the
// same shared object): its stream count and its handler.
struct DriverForm
{
    explicit DriverForm(const std::string& form)
    {
        if (!lib.open(kelTestAcmDriverPath(form))) return;
        live = reinterpret_cast<int (*)()>(lib.symbol("kelTestAcmDriverLiveStreams"));
        proc = reinterpret_cast<kelDriverProc>(lib.symbol(kelDriverProcName));
    }
    int liveStreams() const { return live ? live() : -1; }

    // The handler's own coding of `pcm` in one conversion: the reference
    // for coding it in chunks.
    std::string encodeAtOnce(const std::string& pcm) const
    {
        if (!proc) return {};
        WAVEFORMATEX src = kelTestPcmFormat(8000, 1, 16), dst = kelTestPcmFormat(8000, 1, 8);
        dst.wFormatTag = WAVE_FORMAT_MULAW;
        ACMDRVSTREAMINSTANCE si{};
        si.cbStruct = sizeof si;
        si.pwfxSrc = &src;
        si.pwfxDst = &dst;
        const uintptr_t id = uintptr_t(proc(0, nullptr, DRV_OPEN, 0, 0));
        if (proc(id, nullptr, ACMDM_STREAM_OPEN, intptr_t(&si), 0) != 0) return {};
        std::string in = pcm, out(pcm.size(), '\0');
        ACMDRVSTREAMHEADER h{};
        h.cbStruct = sizeof h;
        h.pbSrc = reinterpret_cast<uint8_t*>(in.data());
        h.cbSrcLength = uint32_t(in.size());
        h.pbDst = reinterpret_cast<uint8_t*>(out.data());
        h.cbDstLength = uint32_t(out.size());
        h.fdwConvert = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
        const intptr_t result = proc(id, nullptr, ACMDM_STREAM_CONVERT, intptr_t(&si), intptr_t(&h));
        proc(id, nullptr, ACMDM_STREAM_CLOSE, intptr_t(&si), 0);
        proc(id, nullptr, DRV_CLOSE, 0, 0);
        return result == 0 ? out.substr(0, h.cbDstLengthUsed) : std::string();
    }

    kelDynLib lib;
    int (*live)() = nullptr;
    kelDriverProc proc = nullptr;
};

} // namespace

// Each openDriver is an object of its own with one user; closeDriver frees
// it at 0 and refuses what it did not count: a registered driver, a second
// close, a driver it does not list.
TEST(kelMsAcmInstallableTest, OpenAndCloseDriverCountTheirOwnDriversOnly)
{
    kelMsAcm acm;
    ASSERT_EQ(acm.enumDrivers(), 0u);
    const intptr_t registered = acm.getDriverCount();
    EXPECT_EQ(acm.openDriver(kelTestAcmDriverName("noproc")), nullptr);
    EXPECT_EQ(acm.openDriver(u"/nonexistent/driver.so"), nullptr);
    kelMsAcmDriver* a = acm.openDriver(kelTestAcmDriverName("good"));
    kelMsAcmDriver* b = acm.openDriver(kelTestAcmDriverName("good"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(a->isInstallable());
    EXPECT_TRUE(a->isOpen());
    EXPECT_EQ(a->refCount(), 1);
    ASSERT_NE(a->getDetails(), nullptr);
    EXPECT_EQ(acm.getDriverCount(), registered + 2);

    // A new enumeration keeps them.
    ASSERT_EQ(acm.enumDrivers(), 0u);
    EXPECT_EQ(acm.getDriverCount(), registered + 2);

    EXPECT_FALSE(acm.closeDriver(acm.getDriver(0))); // registered
    EXPECT_FALSE(acm.closeDriver(nullptr));
    a->incRef();
    EXPECT_TRUE(acm.closeDriver(a)); // one of two users
    EXPECT_EQ(acm.getDriverCount(), registered + 2);
    EXPECT_TRUE(acm.closeDriver(a)); // the last: freed
    EXPECT_EQ(acm.getDriverCount(), registered + 1);
    EXPECT_FALSE(acm.closeDriver(a)); // not listed any more
    EXPECT_TRUE(acm.closeDriver(b));
    EXPECT_EQ(acm.getDriverCount(), registered);
}

// The codec over each form of the driver: the sound one codes mu-law, with
// the destination chunk twice what the driver names; the defective ones
// never make the codec read or deliver past its buffers, and sizes no write
// could use make the open fail.
TEST(kelMsAcmInstallableTest, CodecOverSoundAndDefectiveDrivers)
{
    struct Case
    {
        const char* form;
        uint32_t openResult;
        const char* output; // "ulaw", "none", "bounded"
    };
    const Case cases[] = {
        {"good", 0, "ulaw"},
        {"oversized", 0, "bounded"},
        {"failconvert", 0, "none"},
        {"size0", MMSYSERR_INVALPARAM, "none"},
        {"size4g", MMSYSERR_INVALPARAM, "none"},
    };
    kelMsAcm acm;
    const std::string input = kelTestPcmRamp(8000 / 50 * 7 + 33);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        const DriverForm form(c.form);
        kelMsAcmDriver* driver = acm.openDriver(kelTestAcmDriverName(c.form));
        ASSERT_NE(driver, nullptr);
        {
            kelTestAcmCodec codec(driver, kelcdm_installable);
            ASSERT_TRUE(codec->setPcmFormatSuggest(true, 8000, 16, 1, WAVE_FORMAT_MULAW));
            EXPECT_EQ(codec->dstFormatBlock().format()->wFormatTag, WAVE_FORMAT_MULAW);
            ASSERT_EQ(codec->open(false, 1000, 0, false), c.openResult);
            if (c.openResult != 0) {
                EXPECT_FALSE(codec->isOpen());
                EXPECT_EQ(form.liveStreams(), 0);
                EXPECT_TRUE(acm.closeDriver(driver));
                continue;
            }
            // The driver names half the source for the destination.
            EXPECT_EQ(codec->dstChunkSize(), 2 * (codec->chunkSize() / 2));
            EXPECT_EQ(form.liveStreams(), 1);
            EXPECT_TRUE(codec.writeInPieces(input, 777));
            EXPECT_TRUE(codec->flush(true));
            const std::string out = codec.output();
            if (std::string(c.output) == "ulaw") {
                const std::string reference = form.encodeAtOnce(input);
                ASSERT_EQ(reference.size(), input.size() / 2);
                EXPECT_EQ(out, reference);
            } else if (std::string(c.output) == "none") {
                EXPECT_TRUE(out.empty());
            } else {
                for (const std::string& chunk : codec.chunks())
                    EXPECT_LE(chunk.size(), codec->dstChunkSize());
            }
            EXPECT_EQ(codec->close(3000), 0u);
            EXPECT_EQ(form.liveStreams(), 0);
        }
        EXPECT_TRUE(acm.closeDriver(driver));
    }
}
