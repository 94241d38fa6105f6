// The handle table and driver registration.

#include "platform/kelAcmRegistry.h"

#include "platform/kelAcmTable.h"

#include <cstring>

kelAcmTable& kelAcmTable::get() noexcept
{
    static kelAcmTable table;
    return table;
}

kelAcmHandle* kelAcmTable::newToken() noexcept
{
    std::lock_guard lock(f_lock);
    f_next += 0x10;
    return reinterpret_cast<kelAcmHandle*>(f_next);
}

std::vector<std::shared_ptr<kelAcmDriverEntry>> kelAcmTable::entries()
{
    std::lock_guard lock(f_lock);
    return f_entries;
}

std::shared_ptr<kelAcmDriverEntry> kelAcmTable::entryByProc(kelDriverProc proc)
{
    std::lock_guard lock(f_lock);
    for (const auto& entry : f_entries)
        if (entry->proc == proc) return entry;
    return nullptr;
}

void kelAcmTable::addEntry(const std::shared_ptr<kelAcmDriverEntry>& entry)
{
    auto query = std::make_shared<kelAcmDriverInstance>();
    query->entry = entry;
    query->driverId = entry->queryId;
    std::lock_guard lock(f_lock);
    f_entries.push_back(entry);
    f_entryById[entry->id] = entry;
    f_queryInstances[entry->id] = query;
}

std::shared_ptr<kelAcmDriverInstance> kelAcmTable::driverLike(kelAcmHandle* handle)
{
    std::lock_guard lock(f_lock);
    if (const auto it = f_queryInstances.find(handle); it != f_queryInstances.end()) return it->second;
    if (const auto it = f_instances.find(handle); it != f_instances.end()) return it->second;
    return nullptr;
}

std::shared_ptr<kelAcmDriverInstance> kelAcmTable::instance(HACMDRIVER handle)
{
    std::lock_guard lock(f_lock);
    const auto it = f_instances.find(handle);
    return it == f_instances.end() ? nullptr : it->second;
}

void kelAcmTable::addInstance(const std::shared_ptr<kelAcmDriverInstance>& instance)
{
    std::lock_guard lock(f_lock);
    f_instances[instance->handle] = instance;
}

bool kelAcmTable::removeInstance(HACMDRIVER handle)
{
    std::lock_guard lock(f_lock);
    return f_instances.erase(handle) != 0;
}

std::shared_ptr<kelAcmStreamState> kelAcmTable::stream(HACMSTREAM handle)
{
    std::lock_guard lock(f_lock);
    const auto it = f_streams.find(handle);
    return it == f_streams.end() ? nullptr : it->second;
}

void kelAcmTable::addStream(HACMSTREAM handle, const std::shared_ptr<kelAcmStreamState>& stream)
{
    std::lock_guard lock(f_lock);
    f_streams[handle] = stream;
}

void kelAcmTable::removeStream(HACMSTREAM handle)
{
    std::lock_guard lock(f_lock);
    f_streams.erase(handle);
}

std::shared_ptr<kelAcmInstallable> kelAcmTable::installable(HDRVR handle)
{
    std::lock_guard lock(f_lock);
    const auto it = f_installables.find(handle);
    return it == f_installables.end() ? nullptr : it->second;
}

void kelAcmTable::addInstallable(const std::shared_ptr<kelAcmInstallable>& driver)
{
    std::lock_guard lock(f_lock);
    f_installables[driver->handle] = driver;
}

std::shared_ptr<kelAcmInstallable> kelAcmTable::takeInstallable(HDRVR handle)
{
    std::lock_guard lock(f_lock);
    const auto it = f_installables.find(handle);
    if (it == f_installables.end()) return nullptr;
    auto driver = it->second;
    f_installables.erase(it);
    return driver;
}

intptr_t kelAcmSend(kelDriverProc proc, uintptr_t driverId, kelAcmHandle* through, uint32_t message,
                    intptr_t lParam1, intptr_t lParam2) noexcept
{
    try {
        return proc(driverId, through, message, lParam1, lParam2);
    } catch (...) {
        return MMSYSERR_ERROR;
    }
}

std::vector<std::shared_ptr<kelAcmDriverInstance>> kelAcmEnabledDrivers()
{
    std::vector<std::shared_ptr<kelAcmDriverInstance>> out;
    auto& table = kelAcmTable::get();
    for (const auto& entry : table.entries()) {
        if (entry->details.fdwSupport & ACMDRIVERDETAILS_SUPPORTF_DISABLED) continue;
        if (auto query = table.driverLike(entry->id)) out.push_back(std::move(query));
    }
    return out;
}

namespace {

// The largest cbFormatSize of the driver's tags.
uint32_t largestFormat(kelDriverProc proc, uintptr_t driverId, kelAcmHandle* id, uint32_t tags) noexcept
{
    uint32_t largest = 0;
    for (uint32_t i = 0; i < tags; ++i) {
        ACMFORMATTAGDETAILSW tag{};
        tag.cbStruct = sizeof tag;
        tag.dwFormatTagIndex = i;
        if (kelAcmSend(proc, driverId, id, ACMDM_FORMATTAG_DETAILS, intptr_t(&tag),
                       ACM_FORMATTAGDETAILSF_INDEX) == MMSYSERR_NOERROR &&
            tag.cbFormatSize > largest)
            largest = tag.cbFormatSize;
    }
    return largest;
}

} // namespace

HACMDRIVERID kelAcmAddDriver(kelDriverProc proc) noexcept
{
    if (proc == nullptr) return nullptr;
    auto& table = kelAcmTable::get();
    // One registration at a time, so that a handler added twice at once is
    // loaded once.
    static std::mutex registering;
    std::lock_guard lock(registering);
    if (auto known = table.entryByProc(proc)) return known->id;
    try {
        auto entry = std::make_shared<kelAcmDriverEntry>();
        entry->proc = proc;
        entry->id = table.newToken();
        if (kelAcmSend(proc, 0, entry->id, DRV_LOAD, 0, 0) == 0) return nullptr;
        if (kelAcmSend(proc, 0, entry->id, DRV_ENABLE, 0, 0) == 0) {
            kelAcmSend(proc, 0, entry->id, DRV_FREE, 0, 0);
            return nullptr;
        }
        ACMDRVOPENDESCW desc{};
        desc.cbStruct = sizeof desc;
        desc.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
        desc.dwVersion = kelAcmVersion;
        entry->queryId = uintptr_t(kelAcmSend(proc, 0, entry->id, DRV_OPEN, 0, intptr_t(&desc)));
        entry->details.cbStruct = sizeof entry->details;
        if (entry->queryId == 0 ||
            kelAcmSend(proc, entry->queryId, entry->id, ACMDM_DRIVER_DETAILS, intptr_t(&entry->details), 0) !=
                MMSYSERR_NOERROR ||
            entry->details.cbStruct < offsetof(ACMDRIVERDETAILSW, cFilterTags) + 4) {
            if (entry->queryId != 0) kelAcmSend(proc, entry->queryId, entry->id, DRV_CLOSE, 0, 0);
            kelAcmSend(proc, 0, entry->id, DRV_DISABLE, 0, 0);
            kelAcmSend(proc, 0, entry->id, DRV_FREE, 0, 0);
            return nullptr;
        }
        entry->maxFormatSize = largestFormat(proc, entry->queryId, entry->id, entry->details.cFormatTags);
        table.addEntry(entry);
        return entry->id;
    } catch (...) {
        return nullptr;
    }
}
