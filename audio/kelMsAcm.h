#pragma once
// kelMsAcm: the registry of compression-manager drivers. It lists the
// drivers the manager reports (enumDrivers), finds one by maker and product
// or by a format tag it lists, loads installable drivers from libraries
// (openDriver / closeDriver) and answers the manager's counts. The first
// registry made registers the library's built-in drivers with the manager.
//
// It owns its driver objects. A driver stays valid while the registry
// lists it: a new enumeration keeps installable drivers and the object of
// every id that is reported again (codecs hold such pointers), and frees
// only drivers that are gone. One registry usually serves the process;
// its operations take its lock, so any thread may call them.

#include "audio/kelMsAcmDriver.h"
#include "core/kelList.h"
#include "core/kelObject.h"
#include "platform/kelAcmApi.h"

#include <cstdint>
#include <vector>

class kelMsAcm : public kelObject
{
public:
    kelMsAcm();
    ~kelMsAcm() override;

    // Lists the drivers the manager reports for `flags`; the manager's code.
    uint32_t enumDrivers(uint32_t flags = 0);
    intptr_t getDriverCount() const noexcept { return f_drivers.count(); }
    // Valid while the registry lists the driver; null outside the list.
    kelMsAcmDriver* getDriver(intptr_t index);
    // The first driver with that maker and product; null when none.
    kelMsAcmDriver* getDriver(uint16_t mid, uint16_t pid);
    // Tag 1 (PCM): the manager's PCM converter (maker 1, product 38). Any
    // other tag: the first driver whose format tags list it. Null when none.
    kelMsAcmDriver* getDriverByFormatTag(uint32_t formatTag);
    // Loads an installable driver: a new driver object each time, counted
    // once and listed; null when the library does not load as a driver.
    kelMsAcmDriver* openDriver(const kelString& driverLibrary);
    // Counts one user of an installable driver from openDriver off; at 0
    // closes it and frees the object. False (nothing done) for a driver the
    // registry does not list, a registered driver, or one whose count is
    // already 0.
    bool closeDriver(kelMsAcmDriver* driver);

    uintptr_t version() const noexcept { return f_version; }
    // The manager's counts (0 when it does not answer).
    uint32_t countDrivers() { return metric(ACM_METRIC_COUNT_DRIVERS); }
    uint32_t countCodecs() { return metric(ACM_METRIC_COUNT_CODECS); }
    uint32_t countConverters() { return metric(ACM_METRIC_COUNT_CONVERTERS); }
    uint32_t countFilters() { return metric(ACM_METRIC_COUNT_FILTERS); }
    uint32_t countDisabled() { return metric(ACM_METRIC_COUNT_DISABLED); }
    uint32_t countHardware() { return metric(ACM_METRIC_COUNT_HARDWARE); }
    uint32_t countLocalDrivers() { return metric(ACM_METRIC_COUNT_LOCAL_DRIVERS); }
    uint32_t countLocalCodecs() { return metric(ACM_METRIC_COUNT_LOCAL_CODECS); }
    uint32_t countLocalConverters() { return metric(ACM_METRIC_COUNT_LOCAL_CONVERTERS); }
    uint32_t countLocalFilters() { return metric(ACM_METRIC_COUNT_LOCAL_FILTERS); }
    uint32_t countLocalDisabled() { return metric(ACM_METRIC_COUNT_LOCAL_DISABLED); }

    kelString _classID() const override { return u"kelMsAcm"; }

protected:
    // Called for each driver the manager reports that the registry does not
    // hold yet: appends a new registered driver.
    virtual void addDriver(uintptr_t id, uint32_t support);

    uintptr_t f_version;
    kelObjectList f_drivers{true};

private:
    static bool onDriver(HACMDRIVERID id, uintptr_t instance, uint32_t support);
    uint32_t metric(uint32_t which);

    // During enumeration: the registered drivers of the last one, waiting to
    // be reported again.
    std::vector<kelMsAcmDriver*> f_previous;
};
