#include "audio/kelWaveDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "platform/kelWaveApi.h"
#include "tests/support/kelTestDevices.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

kelOwned<kelTestPumpDevice> makePump(bool mapped = false, bool direct = false)
{
    auto device = kelMakeOwned<kelTestPumpDevice>(0, WAVE_MAPPER, mapped, direct);
    EXPECT_TRUE(device->setSampling(8000, 16, 1));
    return device;
}

} // namespace

TEST(kelWaveDeviceTest, ZeroFlagsBecomeTheCallbackAndTheDeviceSettings)
{
    auto device = makePump(true, true);
    EXPECT_EQ(device->deviceId(), WAVE_MAPPER);
    EXPECT_EQ(device->openFlags(0, false), 0x3000Cu);
    EXPECT_EQ(device->openFlags(0, true), 0x3000Du);
    EXPECT_EQ(device->openFlags(WAVE_FORMAT_DIRECT, true), uint32_t(WAVE_FORMAT_DIRECT)); // given flags stay
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    EXPECT_EQ(device->lastOpenFlags.load(), 0x3000Cu);
    ASSERT_EQ(device->close(3000), 0u);

    auto plain = makePump();
    EXPECT_EQ(plain->openFlags(0, false), CALLBACK_FUNCTION);
    EXPECT_EQ(plain->open(true, 1000, 0, false), 0u);
    EXPECT_EQ(plain->lastOpenFlags.load(), CALLBACK_FUNCTION | WAVE_FORMAT_QUERY);
    EXPECT_FALSE(plain->isOpen());
}

TEST(kelWaveDeviceTest, HandleArrayHoldsServiceAndDataEvents)
{
    auto device = makePump();
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    EXPECT_EQ(device->handlesCnt(), 2u);
    EXPECT_EQ(device->handleAt(0), &device->serviceEvent());
    EXPECT_EQ(device->handleAt(1), &device->inStream()->dataEvent());
    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->handlesCnt(), 0u);

    // Without an input stream slot 1 is an event of the device's own.
    ASSERT_EQ(device->assignStream(true, nullptr, false), nullptr);
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    EXPECT_EQ(device->handlesCnt(), 2u);
    ASSERT_NE(device->handleAt(1), nullptr);
    EXPECT_NE(device->handleAt(1), &device->serviceEvent());
    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->handleAt(1), nullptr);
}

TEST(kelWaveDeviceTest, HeaderKeepsItsRecordAndBuffer)
{
    auto device = makePump();
    const std::vector<char> data = {1, 2, 3, 4, 5};
    kelWaveHeader* header = device->allocHeader(data.size(), data.data(), true);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(device->prepared.load(), 1);
    EXPECT_EQ(header->hdr()->dwBufferLength, 5u);
    EXPECT_EQ(std::memcmp(header->hdr()->lpData, data.data(), data.size()), 0);
    EXPECT_EQ(header->device(), device.get());
    EXPECT_EQ(kelWaveHeader::fromWaveHdr(header->hdr()), header);
    EXPECT_EQ(kelWaveHeader::fromWaveHdr(nullptr), nullptr);
    ASSERT_TRUE(header->resizeBuffer(4096));
    EXPECT_EQ(header->hdr()->dwBufferLength, 4096u);
    EXPECT_EQ(header->capacity(), 4096u);
    EXPECT_EQ(header->hdr()->lpData[0], 0); // a new buffer is zeroed
    EXPECT_EQ(header->prepare(), 0u);       // through the owner
    EXPECT_EQ(device->prepared.load(), 2);

    kelWaveHeader empty(nullptr, 0);
    EXPECT_EQ(empty.hdr()->lpData, nullptr);
    EXPECT_EQ(empty.prepare(), kelMsAcmDeviceHeader::kNoOwner);
    EXPECT_EQ(empty.unprepare(), kelMsAcmDeviceHeader::kNoOwner);
    EXPECT_NE(empty.event(), nullptr);
    delete header;
}

TEST(kelWaveDeviceTest, LoopHandsFiredHeadersToHeaderDoneAndCloseFreesThem)
{
    auto device = makePump();
    device->pump.store(false);
    ASSERT_EQ(device->open(false, 1000, 0, true), 0u);
    EXPECT_TRUE(kelTestWaitUntil([&] { return device->headerDoneCalls.load() > 0; })); // idle cycles

    kelWaveHeader* first = device->allocHeader(320, nullptr, true);
    kelWaveHeader* second = device->allocHeader(320, nullptr, true);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(device->storeHeader(first), 0);
    ASSERT_EQ(device->storeHeader(second), 1);
    ASSERT_EQ(device->addHandle(first->event()), 2);
    ASSERT_EQ(device->addHandle(second->event()), 3);

    second->event()->setState(true);
    ASSERT_TRUE(kelTestWaitUntil([&] { return device->headerDoneWithHeader.load() == 1; }));
    EXPECT_EQ(device->lastHeader.load(), second);
    EXPECT_TRUE(device->lastHeaderReAdd.load());
    first->event()->setState(true);
    ASSERT_TRUE(kelTestWaitUntil([&] { return device->headerDoneWithHeader.load() == 2; }));
    EXPECT_EQ(device->lastHeader.load(), first);

    const int service = device->serviceCalls.load();
    device->serviceEvent().setState(true);
    EXPECT_TRUE(kelTestWaitUntil([&] { return device->serviceCalls.load() > service; }));

    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->unprepared.load(), 2);
    EXPECT_EQ(device->waveHeader(0), nullptr);
    EXPECT_EQ(device->waveHeader(1), nullptr);
    EXPECT_EQ(device->handlesCnt(), 0u);
}

TEST(kelWaveDeviceTest, SamplingGoesToTheMasterSide)
{
    auto device = kelMakeOwned<kelTestPumpDevice>();
    kelFormatBlock block;
    ASSERT_NE(fillFormatExtPCM(block, 48000, 16, 16, 2, 0x3), nullptr);
    ASSERT_TRUE(device->setSamplingExt(false, block.formatExt())); // the side asked for is ignored
    ASSERT_NE(device->srcFormatExt(), nullptr);
    EXPECT_EQ(device->dstFormatExt(), nullptr);
    EXPECT_EQ(device->chunkSize(), 3840u);
    ASSERT_TRUE(device->setSampling(44100, 16, 2));
    EXPECT_EQ(device->chunkSize(), 3528u);
    EXPECT_EQ(device->srcFormatExt()->Format.nSamplesPerSec, 44100u);
}
