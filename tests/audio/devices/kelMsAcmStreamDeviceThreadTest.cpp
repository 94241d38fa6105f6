#include "audio/kelMsAcmStreamDevice.h"

#include "core/kelMemoryStream.h"
#include "tests/support/kelTestDevices.h"
#include "tests/support/kelTestPattern.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Reads what `stream` holds and checks it continues the pattern at `*position`.
// False at the first wrong byte.
bool takePattern(kelAbstractStream& stream, uint64_t* position)
{
    std::vector<uint8_t> buf(4096);
    for (;;) {
        const intptr_t got = stream.read(buf.data(), intptr_t(buf.size()));
        if (got <= 0) return true;
        if (kelTestPatternMismatch(buf.data(), size_t(got), *position) != size_t(got)) return false;
        *position += uint64_t(got);
    }
}

} // namespace

// A writer on one thread, the device loop on another, the test reading the
// output stream on a third: every byte reaches both consumers and the output
// stream once, in order.
TEST(kelMsAcmStreamDeviceThreadTest, DeviceThreadMovesEveryByteToConsumersAndOutput)
{
    constexpr uint64_t kChunk = 320; // 8 kHz, 16-bit mono
    constexpr uint64_t kTotal = kChunk * 4000;
    auto pump = kelMakeOwned<kelTestPumpDevice>(0);
    ASSERT_TRUE(pump->setSampling(8000, 16, 1));
    ASSERT_EQ(pump->chunkSize(), kChunk);
    ASSERT_NE(pump->assignStream(kelStreamClassOf<kelMemoryStream>(), false, true), nullptr);
    auto first = kelMakeOwned<kelTestStreamDevice>();
    auto second = kelMakeOwned<kelTestStreamDevice>();
    for (auto* consumer : {first.get(), second.get()}) {
        const WAVEFORMATEX format = kelTestDevicePcm(8000, 16, 1);
        ASSERT_TRUE(consumer->setFormat(true, &format));
        ASSERT_EQ(consumer->open(false, 1000, 0, false), 0u);
        ASSERT_TRUE(pump->addConsumer(consumer));
    }
    std::atomic<uint64_t> handed{0};
    pump->setOnDataAvailable([&](kelMsAcmStreamDevice*, void*, uintptr_t size) { handed.fetch_add(size); });
    ASSERT_EQ(pump->open(false, 1000, 0, true), 0u);

    std::thread writer([&] {
        std::vector<uint8_t> block(1100); // sizes run up to 1033
        uint64_t position = 0;
        size_t size = 1;
        while (position < kTotal) {
            size = std::min<uint64_t>(size % 997 + 37, kTotal - position); // uneven sizes
            kelTestFillPattern(block.data(), size, position);
            const uintptr_t taken = pump->write(block.data(), size);
            ASSERT_EQ(taken, size);
            position += taken;
        }
    });
    uint64_t outPosition = 0;
    bool inOrder = true;
    EXPECT_TRUE(kelTestWaitUntil(
        [&] {
            inOrder = inOrder && takePattern(*pump->outStream(), &outPosition);
            return !inOrder || outPosition == kTotal;
        },
        30000));
    writer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(outPosition, kTotal);
    EXPECT_EQ(handed.load(), kTotal);
    EXPECT_EQ(pump->inBytes(), int64_t(kTotal));
    EXPECT_EQ(pump->outBytes(), int64_t(kTotal));
    ASSERT_EQ(pump->close(3000), 0u);
    for (auto* consumer : {first.get(), second.get()}) {
        uint64_t position = 0;
        EXPECT_TRUE(takePattern(*consumer->inStream(), &position));
        EXPECT_EQ(position, kTotal);
    }
}

// Open and close from one thread while another writes all the time: no
// deadlock, every close closes (the thread stopped, nothing left open), and
// a closed device takes nothing.
TEST(kelMsAcmStreamDeviceThreadTest, OpenAndCloseRaceWithWrites)
{
    auto device = kelMakeOwned<kelTestPumpDevice>(0);
    ASSERT_TRUE(device->setSampling(8000, 16, 1));
    std::atomic<bool> done{false};
    std::atomic<uint64_t> accepted{0};
    std::thread writer([&] {
        std::vector<uint8_t> block(320, 0x11);
        while (!done.load())
            accepted.fetch_add(device->write(block.data(), block.size()));
    });
    int lostCloses = 0;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(device->open(false, 1000, 0, true), 0u) << i;
        ASSERT_EQ(device->close(3000), 0u) << i;
        if (device->isOpen() || device->handle() != 0 || device->status() != keltsStopped) ++lostCloses;
    }
    done.store(true);
    writer.join();
    EXPECT_EQ(lostCloses, 0);
    EXPECT_GT(accepted.load(), 0u);
    std::vector<uint8_t> block(320, 0x22);
    EXPECT_EQ(device->write(block.data(), block.size()), 0u);
}
