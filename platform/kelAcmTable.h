#pragma once
// The compression manager's own state: registered drivers, open driver
// instances, streams and installable drivers, each reached through a token
// handle. Internal to the layer (kelAcmApi.cpp, kelAcmStream.cpp,
// kelAcmRegistry.cpp).
//
// The table's lock guards only the maps; a call looks its objects up, takes
// shared ownership and talks to the driver with the lock released, so a
// driver or a callback may call back into the layer.

#include "platform/kelAcmRecords.h"
#include "platform/kelDynLib.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// The version acmGetVersion answers and drivers are opened with: 4.0.
inline constexpr uint32_t kelAcmVersion = 0x04000000;

// One registered driver.
struct kelAcmDriverEntry
{
    kelDriverProc proc = nullptr;
    HACMDRIVERID id = nullptr;
    uintptr_t queryId = 0; // the DRV_OPEN instance that answers for the driver id
    ACMDRIVERDETAILSW details{};
    uint32_t maxFormatSize = 0; // the largest record of any of its tags
};

// One acmDriverOpen (or, for streams opened without a driver, the entry's
// query instance).
struct kelAcmDriverInstance
{
    std::shared_ptr<kelAcmDriverEntry> entry;
    uintptr_t driverId = 0;
    HACMDRIVER handle = nullptr; // null for the query instance
    std::atomic<int> openStreams{0};
};

struct kelAcmStreamState
{
    std::shared_ptr<kelAcmDriverInstance> instance;
    std::mutex lock; // serialises the driver's messages for this stream
    bool closed = false;
    std::vector<uint8_t> src, dst, filter; // the layer's copies of the records
    ACMDRVSTREAMINSTANCE si{};
    std::map<ACMSTREAMHEADER*, ACMDRVSTREAMHEADER> prepared;
};

struct kelAcmInstallable
{
    kelDynLib lib;
    kelDriverProc proc = nullptr;
    uintptr_t driverId = 0;
    HDRVR handle = nullptr;
};

class kelAcmTable
{
public:
    static kelAcmTable& get() noexcept;

    // A fresh token, never handed out before.
    kelAcmHandle* newToken() noexcept;

    std::vector<std::shared_ptr<kelAcmDriverEntry>> entries();
    std::shared_ptr<kelAcmDriverEntry> entryByProc(kelDriverProc proc);
    void addEntry(const std::shared_ptr<kelAcmDriverEntry>& entry);

    // A driver id or an open driver as the instance its messages go to
    // (the query instance for a driver id); null for anything else.
    std::shared_ptr<kelAcmDriverInstance> driverLike(kelAcmHandle* handle);
    std::shared_ptr<kelAcmDriverInstance> instance(HACMDRIVER handle);
    void addInstance(const std::shared_ptr<kelAcmDriverInstance>& instance);
    bool removeInstance(HACMDRIVER handle);

    std::shared_ptr<kelAcmStreamState> stream(HACMSTREAM handle);
    void addStream(HACMSTREAM handle, const std::shared_ptr<kelAcmStreamState>& stream);
    void removeStream(HACMSTREAM handle);

    std::shared_ptr<kelAcmInstallable> installable(HDRVR handle);
    void addInstallable(const std::shared_ptr<kelAcmInstallable>& driver);
    std::shared_ptr<kelAcmInstallable> takeInstallable(HDRVR handle);

private:
    std::mutex f_lock;
    uintptr_t f_next = 0x10000;
    std::vector<std::shared_ptr<kelAcmDriverEntry>> f_entries;
    std::map<kelAcmHandle*, std::shared_ptr<kelAcmDriverEntry>> f_entryById;
    std::map<kelAcmHandle*, std::shared_ptr<kelAcmDriverInstance>> f_queryInstances;
    std::map<kelAcmHandle*, std::shared_ptr<kelAcmDriverInstance>> f_instances;
    std::map<kelAcmHandle*, std::shared_ptr<kelAcmStreamState>> f_streams;
    std::map<kelAcmHandle*, std::shared_ptr<kelAcmInstallable>> f_installables;
};

// Sends one message to a driver handler, turning an exception that escapes
// a foreign handler into MMSYSERR_ERROR.
intptr_t kelAcmSend(kelDriverProc proc, uintptr_t driverId, kelAcmHandle* through, uint32_t message,
                    intptr_t lParam1, intptr_t lParam2) noexcept;
inline intptr_t kelAcmSend(const kelAcmDriverInstance& instance, uint32_t message, intptr_t lParam1,
                           intptr_t lParam2) noexcept
{
    return kelAcmSend(instance.entry->proc, instance.driverId,
                      instance.handle ? instance.handle : instance.entry->id, message, lParam1, lParam2);
}

// The enabled drivers' query instances, in registration order.
std::vector<std::shared_ptr<kelAcmDriverInstance>> kelAcmEnabledDrivers();

// The bytes of a format record the layer reads: 16 for PCM (its cbSize may
// be missing), 18 + cbSize for the others.
inline uint32_t kelAcmFormatSize(const WAVEFORMATEX* format) noexcept
{
    return format->wFormatTag == WAVE_FORMAT_PCM ? 16u : 18u + format->cbSize;
}
