#pragma once
// Scaffolding for the audio device tests: minimal concrete devices over the
// device base, with knobs for the platform's answers and a log of the hooks
// in the order they ran. Header-only: it needs kel::audio, which only the
// audio tests link.
//
//  - kelTestStreamDevice: a kelMsAcmStreamDevice with no thread body of its
//    own (the thread idles); its "platform" opens at once unless told to
//    fail or to withhold the hand-shake.
//  - kelTestPumpDevice: a kelWaveDevice whose loop pulls the whole chunks
//    waiting in its input stream and delivers them (like a software device), and
//    records every headerDone call.

#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelWaveDevice.h"
#include "core/kelCreate.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// A plain PCM record.
inline WAVEFORMATEX kelTestDevicePcm(uint32_t rate, uint16_t bits, uint16_t channels)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = uint16_t(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

// The hooks' answers and the log, shared by both test devices.
class kelTestDeviceKnobs
{
public:
    std::atomic<uint32_t> openHandleResult{0};
    std::atomic<bool> signalHandshake{true};
    std::atomic<uint32_t> afterOpenResult{0};
    std::atomic<uint32_t> lastOpenFlags{0};
    std::atomic<int> closeHandleCount{0};

    void log(const std::string& call)
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        f_calls.push_back(call);
    }
    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_calls;
    }
    void clearCalls()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        f_calls.clear();
    }

private:
    std::mutex f_mutex;
    std::vector<std::string> f_calls;
};

class kelTestStreamDevice : public kelMsAcmStreamDevice, public kelTestDeviceKnobs
{
public:
    explicit kelTestStreamDevice(bool masterIsSrc = true, bool createInStream = true,
                                 bool createOutStream = true, uintptr_t inOverNum = 0,
                                 uintptr_t outOverNum = 0, bool calcVolume = false)
        : kelMsAcmStreamDevice(createInStream, createOutStream, inOverNum, outOverNum, calcVolume),
          f_masterIsSrc(masterIsSrc)
    {}

    // The protected steps, for tests that drive a chunk by hand.
    using kelMsAcmStreamDevice::analyzeChunk;
    using kelMsAcmStreamDevice::doSetFormat;
    void setChunkSizeForTest(uintptr_t value) { f_chunkSize.store(value); }

protected:
    bool doGetMasterIsSrc() override { return f_masterIsSrc; }
    uint32_t doOpenHandle(uint32_t flags) override
    {
        log("doOpenHandle");
        lastOpenFlags.store(flags);
        const uint32_t result = kelMsAcmStreamDevice::doOpenHandle(flags);
        if (openHandleResult.load()) return openHandleResult.load();
        if (!signalHandshake.load()) f_openCloseEvent.setState(false);
        f_handle.store(1);
        return result;
    }
    uint32_t afterOpen() override
    {
        log("afterOpen");
        const uint32_t result = kelMsAcmStreamDevice::afterOpen();
        return afterOpenResult.load() ? afterOpenResult.load() : result;
    }
    uint32_t doCloseHandle() override
    {
        log("doCloseHandle");
        closeHandleCount.fetch_add(1);
        return kelMsAcmStreamDevice::doCloseHandle();
    }
    void afterClose(uint32_t result) override
    {
        log("afterClose");
        kelMsAcmStreamDevice::afterClose(result);
    }
    bool doFlush(bool waitForComplete) override
    {
        log("doFlush");
        return kelMsAcmStreamDevice::doFlush(waitForComplete);
    }
    void startIn() override
    {
        log("startIn");
        kelMsAcmStreamDevice::startIn();
    }
    void startOut() override
    {
        log("startOut");
        kelMsAcmStreamDevice::startOut();
    }
    intptr_t execute(uintptr_t) override
    {
        while (!shouldStop())
            sleepThread(20);
        return 0;
    }

private:
    bool f_masterIsSrc;
};

class kelTestPumpDevice : public kelWaveDevice, public kelTestDeviceKnobs
{
public:
    explicit kelTestPumpDevice(uintptr_t overNum = 0, uint32_t deviceID = 0, bool mapped = false,
                               bool direct = false)
        : kelWaveDevice(deviceID, mapped, direct, false, overNum)
    {}

    std::atomic<int> headerDoneCalls{0};
    std::atomic<int> headerDoneWithHeader{0};
    std::atomic<int> serviceCalls{0}; // no header, reAdd set: the service event
    std::atomic<kelWaveHeader*> lastHeader{nullptr};
    std::atomic<bool> lastHeaderReAdd{false};
    // When false the loop only records; chunks stay in the input stream.
    std::atomic<bool> pump{true};

    using kelWaveDevice::addHandle;
    using kelWaveDevice::allocHeader;
    using kelWaveDevice::prepareHeader;
    using kelWaveDevice::waveHeader;
    // Puts a header in the next slot; its slot index.
    intptr_t storeHeader(kelWaveHeader* header)
    {
        const intptr_t slot = f_nextHdr++;
        f_headers[size_t(slot)] = header;
        return slot;
    }
    kelEvent* handleAt(size_t slot) const { return f_handles[slot]; }
    kelEvent& serviceEvent() { return f_deviceEvent; }
    std::atomic<int> prepared{0};
    std::atomic<int> unprepared{0};

protected:
    bool doGetMasterIsSrc() override { return true; }
    uint32_t doOpenHandle(uint32_t flags) override
    {
        log("doOpenHandle");
        lastOpenFlags.store(flags);
        const uint32_t result = kelWaveDevice::doOpenHandle(flags);
        if (openHandleResult.load()) return openHandleResult.load();
        f_handle.store(1);
        return result;
    }
    uint32_t prepareHeader(kelMsAcmDeviceHeader*) override
    {
        prepared.fetch_add(1);
        return 0;
    }
    uint32_t unprepareHeader(kelMsAcmDeviceHeader*) override
    {
        unprepared.fetch_add(1);
        return 0;
    }
    bool headerDone(kelWaveHeader* header, bool reAdd) override
    {
        headerDoneCalls.fetch_add(1);
        if (header) {
            lastHeader.store(header);
            lastHeaderReAdd.store(reAdd);
            headerDoneWithHeader.fetch_add(1);
        } else if (reAdd) {
            serviceCalls.fetch_add(1);
        }
        if (!pump.load() || header) return true;
        // Every whole chunk waiting goes out in this cycle, so the test does
        // not run at the loop's idle pace.
        const uintptr_t size = chunkSize();
        if (size == 0) return true;
        if (f_chunk.size() != size) f_chunk.assign(size, 0);
        const WAVEFORMATEX* format = f_srcFormatExt.format();
        while (!shouldStop() && getDataAvailable(true) >= size)
            if (readFromInStream(f_chunk.data(), size, format) == size)
                deliverChunk(f_chunk.data(), size, format);
        return true;
    }

private:
    std::vector<uint8_t> f_chunk; // device thread only
};
