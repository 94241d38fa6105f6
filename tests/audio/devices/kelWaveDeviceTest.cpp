#include "audio/kelWaveDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "tests/support/kelTestDevices.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(kelWaveDeviceTest, ZeroFlagsBecomeTheCallbackAndTheDeviceSettings)
{
    auto device = kelMakeOwned<kelTestPumpDevice>(0, WAVE_MAPPER, true, true);
    ASSERT_TRUE(device->setSampling(8000, 16, 1));
    EXPECT_EQ(device->deviceId(), WAVE_MAPPER);
    EXPECT_EQ(device->openFlags(0, true), 0x3000Du);
    EXPECT_EQ(device->openFlags(WAVE_FORMAT_DIRECT, true), uint32_t(WAVE_FORMAT_DIRECT)); // given flags stay
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    EXPECT_EQ(device->lastOpenFlags.load(), 0x3000Cu);
    ASSERT_EQ(device->close(3000), 0u);
    device->setMapped(false);
    device->setDirect(false);
    EXPECT_EQ(device->open(true, 1000, 0, false), 0u);
    EXPECT_EQ(device->lastOpenFlags.load(), CALLBACK_FUNCTION | WAVE_FORMAT_QUERY);
    EXPECT_FALSE(device->isOpen());
}

TEST(kelWaveDeviceTest, HandleArrayHoldsServiceAndDataEvents)
{
    auto device = kelMakeOwned<kelTestPumpDevice>();
    ASSERT_TRUE(device->setSampling(8000, 16, 1));
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    EXPECT_EQ(device->handlesCnt(), 2u);
    EXPECT_EQ(device->handleAt(0), &device->serviceEvent());
    EXPECT_EQ(device->handleAt(1), &device->inStream()->dataEvent());
    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->handlesCnt(), 0u);

    // Without an input stream slot 1 is an event of the device's own.
    ASSERT_EQ(device->assignStream(true, nullptr, false), nullptr);
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    ASSERT_NE(device->handleAt(1), nullptr);
    EXPECT_NE(device->handleAt(1), &device->serviceEvent());
    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->handleAt(1), nullptr);
}

TEST(kelWaveDeviceTest, LoopHandsFiredHeadersToHeaderDoneAndCloseFreesThem)
{
    auto device = kelMakeOwned<kelTestPumpDevice>();
    ASSERT_TRUE(device->setSampling(8000, 16, 1));
    device->pump.store(false);
    ASSERT_EQ(device->open(false, 1000, 0, true), 0u);
    const char data[] = {1, 2, 3};
    kelWaveHeader* first = device->allocHeader(sizeof data, data, true);
    kelWaveHeader* second = device->allocHeader(320, nullptr, true);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(device->prepared.load(), 2);
    EXPECT_EQ(std::memcmp(first->hdr()->lpData, data, sizeof data), 0);
    EXPECT_EQ(kelWaveHeader::fromWaveHdr(second->hdr()), second); // how completions find it
    ASSERT_EQ(device->storeHeader(first), 0);
    ASSERT_EQ(device->storeHeader(second), 1);
    ASSERT_EQ(device->addHandle(first->event()), 2);
    ASSERT_EQ(device->addHandle(second->event()), 3);

    second->event()->setState(true);
    ASSERT_TRUE(kelTestWaitUntil([&] { return device->headerCalls.load() == 1; }));
    EXPECT_EQ(device->lastHeader.load(), second);
    first->event()->setState(true);
    ASSERT_TRUE(kelTestWaitUntil([&] { return device->headerCalls.load() == 2; }));
    EXPECT_EQ(device->lastHeader.load(), first);
    const int service = device->serviceCalls.load();
    device->serviceEvent().setState(true);
    EXPECT_TRUE(kelTestWaitUntil([&] { return device->serviceCalls.load() > service; }));

    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->unprepared.load(), 2);
    EXPECT_EQ(device->waveHeader(0), nullptr);
    EXPECT_EQ(device->waveHeader(1), nullptr);
}

TEST(kelWaveDeviceTest, SamplingGoesToTheMasterSide)
{
    auto device = kelMakeOwned<kelTestPumpDevice>();
    kelFormatBlock block;
    ASSERT_NE(fillFormatExtPCM(block, 48000, 16, 16, 2, 0x3), nullptr);
    ASSERT_TRUE(device->setSamplingExt(false, block.formatExt())); // the side asked for is ignored
    EXPECT_EQ(device->dstFormatExt(), nullptr);
    EXPECT_EQ(device->chunkSize(), 3840u);
}
