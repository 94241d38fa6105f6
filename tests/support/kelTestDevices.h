#pragma once
// Scaffolding for the audio device tests: minimal concrete devices over the
// device base. Header-only: it needs kel::audio, which only the audio tests
// link. PCM records come from kelTestPcmFormat (kelTestWave.h).
//
//  - kelTestStreamDevice: a kelMsAcmStreamDevice whose "platform" opens at
//    once unless told to fail or to withhold the hand-shake; it logs its
//    hooks in the order they ran. Its thread only idles.
//  - kelTestPumpDevice: a kelWaveDevice whose loop delivers every whole
//    chunk waiting in its input stream (as a software device does) and
//    counts the headerDone calls by kind.

#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelWaveDevice.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestWave.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class kelTestStreamDevice : public kelMsAcmStreamDevice
{
public:
    explicit kelTestStreamDevice(bool masterIsSrc = true, uintptr_t inOverNum = 0, uintptr_t outOverNum = 0,
                                 bool calcVolume = false)
        : kelMsAcmStreamDevice(true, true, inOverNum, outOverNum, calcVolume), f_masterIsSrc(masterIsSrc)
    {}

    std::atomic<uint32_t> openHandleResult{0};
    std::atomic<bool> signalHandshake{true};
    std::atomic<uint32_t> afterOpenResult{0};
    std::atomic<uint32_t> lastOpenFlags{0};
    std::atomic<int> closeHandleCount{0};

    using kelMsAcmStreamDevice::analyzeChunk;
    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_calls;
    }

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
    void startIn() override { log("startIn"); }
    void startOut() override { log("startOut"); }
    intptr_t execute(uintptr_t) override
    {
        while (!shouldStop())
            sleepThread(20);
        return 0;
    }

private:
    void log(const char* call)
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        f_calls.emplace_back(call);
    }

    bool f_masterIsSrc;
    std::mutex f_mutex;
    std::vector<std::string> f_calls;
};

class kelTestPumpDevice : public kelWaveDevice
{
public:
    explicit kelTestPumpDevice(uintptr_t overNum = 0, uint32_t deviceID = 0, bool mapped = false,
                               bool direct = false)
        : kelWaveDevice(deviceID, mapped, direct, false, overNum)
    {}

    // The platform opens logged ("doOpenHandle"), for component tests.
    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_calls;
    }
    std::atomic<uint32_t> lastOpenFlags{0};
    std::atomic<int> headerCalls{0};  // with a header
    std::atomic<int> serviceCalls{0}; // no header, reAdd set
    std::atomic<kelWaveHeader*> lastHeader{nullptr};
    std::atomic<int> prepared{0};
    std::atomic<int> unprepared{0};
    std::atomic<bool> pump{true};

    using kelWaveDevice::addHandle;
    using kelWaveDevice::allocHeader;
    using kelWaveDevice::waveHeader;
    intptr_t storeHeader(kelWaveHeader* header)
    {
        f_headers[size_t(f_nextHdr)] = header;
        return f_nextHdr++;
    }
    kelEvent* handleAt(size_t slot) const { return f_handles[slot]; }
    kelEvent& serviceEvent() { return f_deviceEvent; }

protected:
    bool doGetMasterIsSrc() override { return true; }
    uint32_t doOpenHandle(uint32_t flags) override
    {
        {
            std::lock_guard<std::mutex> guard(f_mutex);
            f_calls.emplace_back("doOpenHandle");
        }
        lastOpenFlags.store(flags);
        f_handle.store(1);
        return kelWaveDevice::doOpenHandle(flags);
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
        if (header) {
            lastHeader.store(header);
            headerCalls.fetch_add(1);
            return true;
        }
        if (reAdd) serviceCalls.fetch_add(1);
        const uintptr_t size = chunkSize();
        if (!pump.load() || size == 0) return true;
        f_chunk.resize(size);
        const WAVEFORMATEX* format = f_srcFormatExt.format();
        while (!shouldStop() && getDataAvailable(true) >= size)
            if (readFromInStream(f_chunk.data(), size, format) == size)
                deliverChunk(f_chunk.data(), size, format);
        return true;
    }

private:
    std::vector<uint8_t> f_chunk; // device thread only
    std::mutex f_mutex;
    std::vector<std::string> f_calls;
};
