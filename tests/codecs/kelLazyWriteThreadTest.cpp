#include "codecs/kelLazyWriteThread.h"
#include "codecs/kelOpenH323Plugin.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestCodecPlugins.h"
#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr intptr_t kUlawEncoder = 0;

// The µ-law codes of `bytes` read as samples, from the published table.
std::string ulawByTable(const std::string& bytes)
{
    const std::string table = kelCodecVector("ulaw_compress.bin");
    std::string out;
    for (int16_t s : kelSamplesFromBytes(bytes))
        out += table[size_t(int(s) + 32768)];
    return out;
}

struct Delivery
{
    std::mutex mutex;
    std::vector<uint32_t> sizes;
    std::thread::id thread;
};

// Blocks of uneven sizes written from one thread come out on the lazy
// thread whole and in order; close() codes the short tail.
TEST(LazyWriteThread, CodesWritesInOrderAndFlushesTheTail)
{
    auto coder = std::make_unique<kel_openH323plugin>(kelTestPluginName("good"));
    Delivery delivery;
    coder->setOnDataAvailable([&](kelAbstractEncoder*, const void*, uint32_t size, bool& accept) {
        std::lock_guard<std::mutex> lock(delivery.mutex);
        delivery.sizes.push_back(size);
        delivery.thread = std::this_thread::get_id();
        accept = true;
    });
    ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
    ASSERT_EQ(coder->open(), kelEncoderOK);

    // 8000 samples and a tail of 50: not a whole number of 160-sample chunks.
    const std::string input = kelBytesFromSamples(kelSpeechLikeSignal(8050));
    std::thread writer([&] {
        size_t pos = 0, step = 2;
        while (pos < input.size()) {
            const size_t n = std::min(step, input.size() - pos);
            coder->lazyThread()->write(input.data() + pos, intptr_t(n));
            pos += n;
            step = step % 700 + 38; // even sizes from 2 to 736
        }
    });
    writer.join();
    // Whole chunks are coded before any flush.
    EXPECT_TRUE(kelTestWaitUntil([&] { return coder->availableSize(kelEncoderOutStream) >= 8000; }));
    EXPECT_LT(coder->availableSize(kelEncoderOutStream), 8050);

    EXPECT_EQ(coder->close(), kelEncoderOK);
    EXPECT_EQ(coder->availableSize(kelEncoderLazyStream), 0);
    std::string out;
    ASSERT_EQ(coder->outStream().read(out, 1 << 20), 8050);
    EXPECT_EQ(out, ulawByTable(input));
    EXPECT_EQ(coder->encodedDataSize(), 8050);

    std::lock_guard<std::mutex> lock(delivery.mutex);
    ASSERT_EQ(delivery.sizes.size(), 51u);
    for (size_t i = 0; i + 1 < delivery.sizes.size(); ++i)
        ASSERT_EQ(delivery.sizes[i], 160u) << "delivery " << i;
    EXPECT_EQ(delivery.sizes.back(), 50u);
    EXPECT_NE(delivery.thread, std::this_thread::get_id());
    EXPECT_NE(delivery.thread, writer.get_id());
}

// With every thread slot taken the coder gets no lazy thread: open fails
// and leaves the coder closed, so nothing is written into a coder that
// would never code it.
TEST(LazyWriteThread, OpenFailsAndStaysClosedWhenTheThreadCannotStart)
{
    std::vector<kelOwned<kelThread>> filler;
    while (kelThread::slotsInUse() < kelThread::kSlotCount) {
        filler.emplace_back(kelCreate<kelThread>(false));
        ASSERT_TRUE(filler.back());
    }
    auto coder = std::make_unique<kel_openH323plugin>(kelTestPluginName("good"));
    filler.clear();
    ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
    EXPECT_EQ(coder->open(), kelEncoderErrorThreadFailed);
    EXPECT_EQ(coder->errorCode(), kelEncoderErrorThreadFailed);
    EXPECT_FALSE(coder->opened());
    EXPECT_EQ(coder->codecIndex(), -1) << "closed again, as close() leaves it";
    EXPECT_EQ(coder->open(), kelEncoderErrorNotConfigured);
}

// A coder reopened after close starts from empty streams and totals, and
// open without a configuration is refused. In the second round the handler
// refuses: the bytes count as produced but stay out of the output stream.
TEST(LazyWriteThread, ReopenStartsCleanAndRefusedBytesStayOut)
{
    auto coder = std::make_unique<kel_openH323plugin>(kelTestPluginName("good"));
    EXPECT_EQ(coder->open(), kelEncoderErrorNotConfigured);
    for (bool accept : {true, false}) {
        coder->setOnDataAvailable(
            [accept](kelAbstractEncoder*, const void*, uint32_t, bool& ok) { ok = accept; });
        ASSERT_EQ(coder->selectCodec(kUlawEncoder), kelEncoderOK);
        ASSERT_EQ(coder->open(), kelEncoderOK);
        const std::string input = kelBytesFromSamples(kelSpeechLikeSignal(200));
        coder->lazyThread()->write(input.data(), intptr_t(input.size()));
        coder->lazyThread()->flush();
        EXPECT_EQ(coder->availableSize(kelEncoderLazyStream), 0);
        EXPECT_EQ(coder->close(), kelEncoderOK);
        EXPECT_EQ(coder->availableSize(kelEncoderOutStream), accept ? 200 : 0);
        EXPECT_EQ(coder->encodedDataSize(), 200);
        EXPECT_FALSE(coder->configOK());
        EXPECT_EQ(coder->lazyThread()->status(), keltsStopped);
    }
}

} // namespace
