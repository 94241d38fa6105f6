#include "audio/kelMsAcm.h"

#include "codecs/kelAcmDrivers.h"
#include "core/kelCreate.h"

#include <algorithm>

namespace {

constexpr intptr_t kLockTimeout = 1000;

} // namespace

kelMsAcm::kelMsAcm()
{
    kelAcmRegisterBuiltInDrivers();
    f_version = acmGetVersion();
}

kelMsAcm::~kelMsAcm()
{
    // Installable drivers were loaded here, so they are closed here too.
    for (intptr_t i = 0; i < f_drivers.count(); ++i)
        if (kelMsAcmDriver* driver = getDriver(i);
            driver && driver->isInstallable() && driver->refCount() > 0)
            (void)CloseDriver(reinterpret_cast<HDRVR>(driver->id()), 0, 0);
    f_drivers.clear(2, true);
}

uint32_t kelMsAcm::metric(uint32_t which)
{
    uint32_t value = 0;
    return acmMetrics(nullptr, which, &value) == MMSYSERR_NOERROR ? value : 0;
}

kelMsAcmDriver* kelMsAcm::getDriver(intptr_t index)
{
    return static_cast<kelMsAcmDriver*>(f_drivers.getObject(index));
}

kelMsAcmDriver* kelMsAcm::getDriver(uint16_t mid, uint16_t pid)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return nullptr;
    for (intptr_t i = 0; i < f_drivers.count(); ++i) {
        kelMsAcmDriver* driver = getDriver(i);
        const ACMDRIVERDETAILSW* details = driver ? driver->getDetails() : nullptr;
        if (details && details->wMid == mid && details->wPid == pid) return driver;
    }
    return nullptr;
}

kelMsAcmDriver* kelMsAcm::getDriverByFormatTag(uint32_t formatTag)
{
    if (formatTag == WAVE_FORMAT_PCM) return getDriver(kelAcmMakerId, kelAcmPcmProductId);
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return nullptr;
    for (intptr_t i = 0; i < f_drivers.count(); ++i) {
        kelMsAcmDriver* driver = getDriver(i);
        if (!driver || driver->enumFormats(0, false, nullptr, true) != MMSYSERR_NOERROR) continue;
        if (driver->listsFormatTag(formatTag)) return driver;
    }
    return nullptr;
}

// --- enumeration ------------------------------------------------------------------

uint32_t kelMsAcm::enumDrivers(uint32_t flags)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return MMSYSERR_HANDLEBUSY;
    // Codecs hold driver pointers. Installable drivers are not the
    // manager's to report, so they stay; a registered driver reported again
    // keeps its object; only the ones not reported again are freed.
    std::vector<kelMsAcmDriver*> installable;
    for (intptr_t i = 0; i < f_drivers.count(); ++i) {
        kelMsAcmDriver* driver = getDriver(i);
        if (!driver) continue;
        (driver->isInstallable() ? installable : f_previous).push_back(driver);
    }
    f_drivers.clear(0);
    const uint32_t result = acmDriverEnum(&onDriver, reinterpret_cast<uintptr_t>(this), flags);
    for (kelMsAcmDriver* gone : f_previous)
        kelFree(gone);
    f_previous.clear();
    for (kelMsAcmDriver* driver : installable)
        if (f_drivers.add(driver) < 0) kelFree(driver);
    return result;
}

bool kelMsAcm::onDriver(HACMDRIVERID id, uintptr_t instance, uint32_t support)
{
    auto* self = reinterpret_cast<kelMsAcm*>(instance);
    if (!self) return false;
    const auto value = reinterpret_cast<uintptr_t>(id);
    auto& previous = self->f_previous;
    const auto known = std::find_if(previous.begin(), previous.end(),
                                    [value](kelMsAcmDriver* d) { return d->id() == value; });
    try {
        if (known != previous.end()) {
            kelMsAcmDriver* driver = *known;
            previous.erase(known);
            driver->setSupport(support);
            if (self->f_drivers.add(driver) < 0) kelFree(driver);
        } else {
            self->addDriver(value, support);
        }
    } catch (...) {
        kelReportHookFailure("kelMsAcm::addDriver");
    }
    return true;
}

void kelMsAcm::addDriver(uintptr_t id, uint32_t support)
{
    auto* driver = kelCreate<kelMsAcmDriver>(this, id, support, kelString());
    if (driver && f_drivers.add(driver) < 0) kelFree(driver);
}

// --- installable drivers ----------------------------------------------------------

kelMsAcmDriver* kelMsAcm::openDriver(const kelString& driverLibrary)
{
    if (driverLibrary.empty()) return nullptr;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return nullptr;
    HDRVR handle = OpenDriver(driverLibrary.c_str(), nullptr, 0);
    if (!handle) return nullptr;
    auto* driver = kelCreate<kelMsAcmDriver>(this, reinterpret_cast<uintptr_t>(handle), 0, driverLibrary);
    if (!driver) {
        (void)CloseDriver(handle, 0, 0);
        return nullptr;
    }
    driver->incRef();
    if (f_drivers.add(driver) < 0) {
        kelFree(driver);
        (void)CloseDriver(handle, 0, 0);
        return nullptr;
    }
    return driver;
}

bool kelMsAcm::closeDriver(kelMsAcmDriver* driver)
{
    if (!driver) return false;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;
    // Only a listed installable driver with users left: anything else
    // would free an object twice or close a driver the manager owns.
    if (f_drivers.indexOf(driver) < 0 || !driver->isInstallable()) return false;
    intptr_t users = driver->refCount();
    do {
        if (users <= 0) return false;
    } while (!driver->exchangeRef(users, users - 1));
    if (users - 1 > 0) return true;
    const auto handle = reinterpret_cast<HDRVR>(driver->id());
    (void)CloseDriver(handle, 0, 0);
    f_drivers.removeItem(driver, 1);
    return true;
}
